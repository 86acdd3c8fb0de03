package qv.vantrel.quorvane.instrument;

import java.io.ByteArrayInputStream;
import java.io.DataInputStream;
import java.io.IOException;

/**
 * Finds an agent's entry method in its class file without loading the class, so that a
 * jar whose class has no usable entry method is refused before anything is appended to a
 * class loader's search: the JDK looks for {@code (String, Instrumentation)} first, then
 * {@code (String)}, among the methods the class itself declares.
 */
final class AgentClassFile {
    static final String TWO_ARGUMENTS = "(Ljava/lang/String;Ljava/lang/instrument/Instrumentation;)";
    static final String ONE_ARGUMENT = "(Ljava/lang/String;)";
    static final int ACC_PUBLIC = 0x0001;
    static final int ACC_STATIC = 0x0008;

    /** The entry method found: its access flags and which of the two forms it has. */
    static final class Entry {
        final int access;
        final boolean twoArguments;

        Entry(int access, boolean twoArguments) {
            this.access = access;
            this.twoArguments = twoArguments;
        }
    }

    private AgentClassFile() {
    }

    /**
     * The method {@code name} of the class file, in the form the JDK would pick, or null when
     * the class declares neither form.
     *
     * @throws IOException if the bytes are no class file, or one of another class than
     *     {@code binaryName}
     */
    static Entry find(byte[] classFile, String binaryName, String name) throws IOException {
        DataInputStream in = new DataInputStream(new ByteArrayInputStream(classFile));
        if (in.readInt() != 0xCAFEBABE) {
            throw new IOException("not a class file");
        }
        in.skipNBytes(4);  // minor and major version
        int count = in.readUnsignedShort();
        String[] utf8 = new String[count];
        int[] classNames = new int[count];
        for (int i = 1; i < count; i++) {
            int tag = in.readUnsignedByte();
            switch (tag) {
                case 1:  // Utf8: the class file's modified UTF-8 is DataInput's
                    utf8[i] = in.readUTF();
                    break;
                case 7:  // Class
                    classNames[i] = in.readUnsignedShort();
                    break;
                case 8: case 16: case 19: case 20:  // String, MethodType, Module, Package
                    in.skipNBytes(2);
                    break;
                case 15:  // MethodHandle
                    in.skipNBytes(3);
                    break;
                case 3: case 4: case 9: case 10: case 11: case 12: case 17: case 18:
                    in.skipNBytes(4);
                    break;
                case 5: case 6:  // Long and Double take two entries
                    in.skipNBytes(8);
                    i++;
                    break;
                default:
                    throw new IOException("unknown constant pool tag " + tag);
            }
        }
        in.skipNBytes(2);  // access flags
        int thisClass = in.readUnsignedShort();
        String declared = thisClass < count ? constant(utf8, classNames[thisClass]) : null;
        if (!binaryName.replace('.', '/').equals(declared)) {
            throw new IOException("it holds class " + declared + ", not " + binaryName);
        }
        in.skipNBytes(2);  // super class
        in.skipNBytes(2L * in.readUnsignedShort());  // interfaces
        skipMembers(in);  // fields
        Entry oneArgument = null;
        int methods = in.readUnsignedShort();
        for (int i = 0; i < methods; i++) {
            int access = in.readUnsignedShort();
            String methodName = constant(utf8, in.readUnsignedShort());
            String descriptor = constant(utf8, in.readUnsignedShort());
            skipAttributes(in);
            if (name.equals(methodName) && descriptor != null) {
                if (descriptor.startsWith(TWO_ARGUMENTS)) {
                    return new Entry(access, true);
                }
                if (oneArgument == null && descriptor.startsWith(ONE_ARGUMENT)) {
                    oneArgument = new Entry(access, false);
                }
            }
        }
        return oneArgument;
    }

    /** A Utf8 constant, or null for an index that names none. */
    private static String constant(String[] utf8, int index) {
        return index < utf8.length ? utf8[index] : null;
    }

    private static void skipMembers(DataInputStream in) throws IOException {
        int members = in.readUnsignedShort();
        for (int i = 0; i < members; i++) {
            in.skipNBytes(6);  // access flags, name, descriptor
            skipAttributes(in);
        }
    }

    private static void skipAttributes(DataInputStream in) throws IOException {
        int attributes = in.readUnsignedShort();
        for (int i = 0; i < attributes; i++) {
            in.skipNBytes(2);
            in.skipNBytes(in.readInt() & 0xFFFFFFFFL);
        }
    }
}
