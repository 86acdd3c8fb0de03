package qvobserve;

import java.io.IOException;
import java.io.InputStream;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Paths;
import java.util.Arrays;
import java.util.jar.JarFile;
import qv.vantrel.quorvane.remapper.Remap;

/**
 * What the cases share, none of it touching jdk.jfr or java.management (LimitedCase runs
 * without them): checks, the fixture classes (off the class path, each load in a fresh
 * class loader) and the transformers.
 */
final class Observed {
    static final String FIX = "qvobserve/fix/";
    static final String ALPHA = FIX + "Alpha";
    static final String BETA = FIX + "Beta";
    static final String GAMMA = FIX + "Gamma";
    /** How Remap's transformer rewrites Alpha's greeting: 7 bytes longer. */
    static final String HELLO = "hello";
    static final String HELLO_WORLD = "hello, world";

    interface Body {
        void run(String[] args) throws Exception;
    }

    private Observed() {
    }

    static void run(String name, String[] args, Body body) {
        try {
            body.run(args);
        } catch (Throwable failure) {
            System.out.flush();
            System.err.println("FAIL " + name + ": " + failure.getMessage());
            failure.printStackTrace();
            System.exit(1);
        }
        System.out.println("PASS " + name);
        System.exit(0);
    }

    static void check(boolean condition, String format, Object... args) {
        if (!condition) {
            throw new AssertionError(String.format(format, args));
        }
    }

    static boolean isFixture(String internalName) {
        return internalName != null && internalName.startsWith(FIX);
    }

    /** A fresh class loader over the fixtures' jar. */
    static URLClassLoader fixtures() throws IOException {
        URL jar = Paths.get(System.getProperty("observe.fixtures")).toUri().toURL();
        return new URLClassLoader(new URL[] {jar}, ClassLoader.getPlatformClassLoader());
    }

    /** A fixture's class file, as its jar holds it. */
    static byte[] classFile(String internalName) throws IOException {
        try (JarFile jar = new JarFile(System.getProperty("observe.fixtures"));
                InputStream in = jar.getInputStream(jar.getEntry(internalName + ".class"))) {
            return in.readAllBytes();
        }
    }

    static String greeting(Class<?> fixture) throws ReflectiveOperationException {
        Object instance = fixture.getConstructor().newInstance();
        return (String) fixture.getMethod("greeting").invoke(instance);
    }

    /**
     * Remap's transformer in the cases: Alpha's greeting rewritten; any other class left as
     * it is, with nothing allocated.
     */
    static final class Greeting implements Remap.Transformer {
        private static final byte[] FROM = HELLO.getBytes(StandardCharsets.UTF_8);
        private static final byte[] TO = HELLO_WORLD.getBytes(StandardCharsets.UTF_8);

        @Override
        public byte[] transform(String internalName, byte[] classBytes) {
            return replaceUtf8(classBytes, FROM, TO);
        }
    }

    /**
     * The class file with the first UTF-8 constant equal to {@code wanted} replaced by {@code text}, or null
     * when it has none. Nothing else in a class file points at offsets inside the
     * constant pool, so the rest is copied as it is.
     */
    static byte[] replaceUtf8(byte[] classFile, byte[] wanted, byte[] text) {
        int count = u2(classFile, 8);
        int pos = 10;
        for (int index = 1; index < count; index++) {
            int tag = classFile[pos] & 0xff;
            if (tag == 1) {
                int length = u2(classFile, pos + 1);
                if (Arrays.equals(classFile, pos + 3, pos + 3 + length, wanted, 0, wanted.length)) {
                    byte[] out = new byte[classFile.length - length + text.length];
                    System.arraycopy(classFile, 0, out, 0, pos + 1);
                    out[pos + 1] = (byte) (text.length >> 8);
                    out[pos + 2] = (byte) text.length;
                    System.arraycopy(text, 0, out, pos + 3, text.length);
                    System.arraycopy(classFile, pos + 3 + length, out, pos + 3 + text.length,
                            classFile.length - pos - 3 - length);
                    return out;
                }
            }
            if (tag == 5 || tag == 6) {
                index++;  // longs and doubles take two slots
            }
            pos += switch (tag) {
                case 1 -> 3 + u2(classFile, pos + 1);
                case 7, 8, 16, 19, 20 -> 3;
                case 15 -> 4;
                case 3, 4, 9, 10, 11, 12, 17, 18 -> 5;
                case 5, 6 -> 9;
                default -> throw new IllegalArgumentException("constant pool tag " + tag);
            };
        }
        return null;
    }

    private static int u2(byte[] b, int at) {
        return (b[at] & 0xff) << 8 | (b[at + 1] & 0xff);
    }
}
