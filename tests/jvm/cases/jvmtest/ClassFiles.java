package jvmtest;

import java.nio.charset.StandardCharsets;
import java.util.Arrays;

/** A minimal class-file edit: replace one UTF-8 constant, which is how the fixtures get rewritten. */
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
            switch (tag) {
                case 1 -> {
                    int length = u2(classFile, pos + 1);
                    int start = pos + 3;
                    if (Arrays.equals(classFile, start, start + length, wanted, 0, wanted.length)) {
                        return splice(classFile, pos + 1, start + length, to.getBytes(StandardCharsets.UTF_8));
                    }
                    pos = start + length;
                }
                case 7, 8, 16, 19, 20 -> pos += 3;
                case 15 -> pos += 4;
                case 3, 4, 9, 10, 11, 12, 17, 18 -> pos += 5;
                case 5, 6 -> {
                    pos += 9;
                    index++; // takes two pool slots
                }
                default -> throw new IllegalArgumentException("unknown constant pool tag " + tag + " at " + pos);
            }
        }
        return null;
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
}
