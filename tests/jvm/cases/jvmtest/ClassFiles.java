package jvmtest;

import java.io.ByteArrayOutputStream;
import java.io.DataOutputStream;
import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;

/**
 * Minimal class-file edits: replace one UTF-8 constant, which is how the fixtures get rewritten,
 * or add a method, which retransformation refuses.
 */
final class ClassFiles {
    static final String ORIGINAL = "original";
    static final String REWRITTEN = "rewritten";

    private ClassFiles() {
    }

    /** The fixture with its "original" constant turned into "rewritten", or null when it has none. */
    static byte[] rewrite(byte[] classFile) {
        return replaceUtf8(classFile, ORIGINAL, REWRITTEN);
    }

    /**
     * Walks the constant pool and splices in the new text for the first UTF-8 entry equal to
     * {@code from}. Nothing else in a class file points at byte offsets inside the pool, so the
     * rest is copied as it is. Returns null when no entry matches.
     */
    static byte[] replaceUtf8(byte[] classFile, String from, String to) {
        Check.that(u2(classFile, 0) == 0xCAFE && u2(classFile, 2) == 0xBABE, "not a class file");
        byte[] wanted = from.getBytes(StandardCharsets.UTF_8);
        int count = u2(classFile, 8);
        int pos = 10;
        for (int index = 1; index < count; index++) {
            int tag = classFile[pos] & 0xff;
            if (tag == 1) {
                int length = u2(classFile, pos + 1);
                int start = pos + 3;
                if (Arrays.equals(classFile, start, start + length, wanted, 0, wanted.length)) {
                    return splice(classFile, pos + 1, start + length, to.getBytes(StandardCharsets.UTF_8));
                }
            }
            index += slots(tag) - 1;
            pos += constantSize(classFile, pos);
        }
        return null;
    }

    /**
     * The class file with one method more, {@code private static void <name>()} that only
     * returns: a change of shape that retransformation must refuse.
     */
    static byte[] addMethod(byte[] classFile, String name) {
        Check.that(u2(classFile, 0) == 0xCAFE && u2(classFile, 2) == 0xBABE, "not a class file");
        int count = u2(classFile, 8);
        int poolEnd = 10;
        for (int index = 1; index < count; index++) {
            index += slots(classFile[poolEnd] & 0xff) - 1;
            poolEnd += constantSize(classFile, poolEnd);
        }
        int interfaces = u2(classFile, poolEnd + 6);
        int methodsAt = skipMembers(classFile, poolEnd + 8 + 2 * interfaces);
        try {
            ByteArrayOutputStream bytes = new ByteArrayOutputStream();
            DataOutputStream out = new DataOutputStream(bytes);
            out.write(classFile, 0, 8);
            out.writeShort(count + 3);
            out.write(classFile, 10, poolEnd - 10);
            out.writeByte(1);
            out.writeUTF(name); // #count
            out.writeByte(1);
            out.writeUTF("()V"); // #count + 1
            out.writeByte(1);
            out.writeUTF("Code"); // #count + 2
            out.write(classFile, poolEnd, methodsAt - poolEnd); // flags, names, interfaces, fields
            out.writeShort(u2(classFile, methodsAt) + 1);
            out.writeShort(0x000A); // private static
            out.writeShort(count);
            out.writeShort(count + 1);
            out.writeShort(1); // one attribute: Code
            out.writeShort(count + 2);
            out.writeInt(13);
            out.writeShort(0); // max_stack
            out.writeShort(0); // max_locals
            out.writeInt(1);
            out.writeByte(0xB1); // return
            out.writeShort(0); // exception table
            out.writeShort(0); // attributes
            out.write(classFile, methodsAt + 2, classFile.length - methodsAt - 2);
            return bytes.toByteArray();
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }

    private static int constantSize(byte[] classFile, int pos) {
        int tag = classFile[pos] & 0xff;
        return switch (tag) {
            case 1 -> 3 + u2(classFile, pos + 1);
            case 7, 8, 16, 19, 20 -> 3;
            case 15 -> 4;
            case 3, 4, 9, 10, 11, 12, 17, 18 -> 5;
            case 5, 6 -> 9;
            default -> throw new IllegalArgumentException("unknown constant pool tag " + tag + " at " + pos);
        };
    }

    // Longs and doubles take two pool slots.
    private static int slots(int tag) {
        return tag == 5 || tag == 6 ? 2 : 1;
    }

    // The offset just past a fields or methods table that starts at pos.
    private static int skipMembers(byte[] classFile, int pos) {
        int members = u2(classFile, pos);
        pos += 2;
        for (int m = 0; m < members; m++) {
            int attributes = u2(classFile, pos + 6);
            pos += 8;
            for (int a = 0; a < attributes; a++) {
                pos += 6 + u4(classFile, pos + 2);
            }
        }
        return pos;
    }

    // Replaces bytes [lengthAt, end) with a u2 length and the text.
    private static byte[] splice(byte[] classFile, int lengthAt, int end, byte[] text) {
        byte[] out = new byte[classFile.length - (end - lengthAt) + 2 + text.length];
        System.arraycopy(classFile, 0, out, 0, lengthAt);
        out[lengthAt] = (byte) (text.length >> 8);
        out[lengthAt + 1] = (byte) text.length;
        System.arraycopy(text, 0, out, lengthAt + 2, text.length);
        System.arraycopy(classFile, end, out, lengthAt + 2 + text.length, classFile.length - end);
        return out;
    }

    private static int u2(byte[] b, int at) {
        return ((b[at] & 0xff) << 8) | (b[at + 1] & 0xff);
    }

    private static int u4(byte[] b, int at) {
        return (u2(b, at) << 16) | u2(b, at + 2);
    }
}
