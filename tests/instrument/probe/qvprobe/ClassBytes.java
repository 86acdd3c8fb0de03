package qvprobe;

import java.io.ByteArrayOutputStream;
import java.io.DataOutputStream;
import java.io.IOException;
import java.io.UncheckedIOException;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/**
 * Class files made on the fly: a class whose static methods each return a string
 * constant, with knobs for the shapes redefinition refuses (a method added or gone, a
 * field, another super class, other modifiers, another version, broken code).
 */
final class ClassBytes {
    private String name;
    private String superName = "java/lang/Object";
    private int access = 0x0021;  // public super
    private int major = 52;
    private final Map<String, String> methods = new LinkedHashMap<>();
    private final List<String> fields = new ArrayList<>();
    private boolean unverifiable;

    private ClassBytes(String name) {
        this.name = name;
    }

    static ClassBytes named(String internalName) {
        return new ClassBytes(internalName);
    }

    /** A {@code public static String <method>()} returning value. */
    ClassBytes returning(String method, String value) {
        methods.put(method, value);
        return this;
    }

    ClassBytes superClass(String internalName) {
        superName = internalName;
        return this;
    }

    ClassBytes access(int flags) {
        access = flags;
        return this;
    }

    ClassBytes major(int version) {
        major = version;
        return this;
    }

    ClassBytes field(String fieldName) {
        fields.add(fieldName);
        return this;
    }

    /** Every method's code returns with nothing on the stack: the verifier refuses it. */
    ClassBytes unverifiable() {
        unverifiable = true;
        return this;
    }

    byte[] bytes() {
        try {
            List<byte[]> pool = new ArrayList<>();
            Map<String, Integer> utf8 = new LinkedHashMap<>();
            ByteArrayOutputStream body = new ByteArrayOutputStream();
            DataOutputStream out = new DataOutputStream(body);
            int thisClass = classRef(pool, utf8, name);
            int superClass = classRef(pool, utf8, superName);
            int code = utf(pool, utf8, "Code");
            out.writeShort(access);
            out.writeShort(thisClass);
            out.writeShort(superClass);
            out.writeShort(0);  // interfaces
            out.writeShort(fields.size());
            for (String field : fields) {
                out.writeShort(0x0009);
                out.writeShort(utf(pool, utf8, field));
                out.writeShort(utf(pool, utf8, "I"));
                out.writeShort(0);
            }
            out.writeShort(methods.size());
            for (Map.Entry<String, String> method : methods.entrySet()) {
                int string = add(pool, new byte[] {8, 0, 0});
                int value = utf(pool, utf8, method.getValue());
                byte[] entry = pool.get(string - 1);
                entry[1] = (byte) (value >> 8);
                entry[2] = (byte) value;
                out.writeShort(0x0009);  // public static
                out.writeShort(utf(pool, utf8, method.getKey()));
                out.writeShort(utf(pool, utf8, "()Ljava/lang/String;"));
                out.writeShort(1);
                out.writeShort(code);
                byte[] instructions = unverifiable ? new byte[] {(byte) 0xB0}
                        : new byte[] {0x13, (byte) (string >> 8), (byte) string, (byte) 0xB0};  // ldc_w, areturn
                out.writeInt(12 + instructions.length);
                out.writeShort(1);  // max_stack
                out.writeShort(0);  // max_locals
                out.writeInt(instructions.length);
                out.write(instructions);
                out.writeShort(0);
                out.writeShort(0);
            }
            out.writeShort(0);  // class attributes

            ByteArrayOutputStream file = new ByteArrayOutputStream();
            DataOutputStream head = new DataOutputStream(file);
            head.writeInt(0xCAFEBABE);
            head.writeShort(0);
            head.writeShort(major);
            head.writeShort(pool.size() + 1);
            for (byte[] entry : pool) {
                head.write(entry);
            }
            head.write(body.toByteArray());
            return file.toByteArray();
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }

    private static int add(List<byte[]> pool, byte[] entry) {
        pool.add(entry);
        return pool.size();
    }

    private static int utf(List<byte[]> pool, Map<String, Integer> known, String text) throws IOException {
        Integer index = known.get(text);
        if (index != null) {
            return index;
        }
        ByteArrayOutputStream bytes = new ByteArrayOutputStream();
        DataOutputStream out = new DataOutputStream(bytes);
        out.writeByte(1);
        out.writeUTF(text);
        int added = add(pool, bytes.toByteArray());
        known.put(text, added);
        return added;
    }

    private static int classRef(List<byte[]> pool, Map<String, Integer> known, String internalName)
            throws IOException {
        int nameIndex = utf(pool, known, internalName);
        return add(pool, new byte[] {7, (byte) (nameIndex >> 8), (byte) nameIndex});
    }
}
