import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.CyclicBarrier;
import java.util.stream.Stream;

/**
 * How the library gets loaded, seen from an application. Exits non-zero on any failure.
 *
 * <p>{@code two-loaders <jar> <jar-only|library-path>}: two class loaders load the
 * Quorvane class from the jar at the same moment; both must end up with working natives
 * and no extracted copy may stay behind. {@code missing <jar> <platform>}: when neither
 * java.library.path nor the jar has a library for the platform ({@code this}: the machine's
 * own), loading must fail with an UnsatisfiedLinkError that names the platform and what was
 * looked for. {@code library-path <library> <jar> <same|other> <from-path|jar-copy|fails>}: a copy of
 * the library, as built ({@code same}) or with another build identifier written into it
 * ({@code other}), lies in the folder that java.library.path names (the case makes it there); the
 * library must come from that copy, or from the jar with that copy passed over and named in the
 * log, or loading must fail naming both identifiers and both places.
 */
public final class LoadingCases {
    private static final String QUORVANE = "qv.vantrel.quorvane.Quorvane";

    public static void main(String[] args) throws Exception {
        switch (args[0]) {
            case "two-loaders" -> twoLoaders(Paths.get(args[1]), args[2]);
            case "missing" -> missing(Paths.get(args[1]), args[2].equals("this") ? thisPlatform() : args[2]);
            case "library-path" -> libraryPath(Paths.get(args[1]), Paths.get(args[2]), args[3].equals("other"), args[4]);
            default -> throw new IllegalArgumentException(args[0]);
        }
        System.out.println("ok: " + String.join(" ", args));
    }

    private static void twoLoaders(Path jar, String mode) throws Exception {
        Path extractDir = Files.createDirectories(Paths.get("extracted"));
        System.setProperty("qv.vantrel.quorvane.tmpdir", extractDir.toAbsolutePath().toString());
        boolean onLibraryPath = Files.exists(Paths.get(System.getProperty("java.library.path"), "libquorvane.so"));
        check(onLibraryPath == mode.equals("library-path"), "libquorvane.so on java.library.path: " + onLibraryPath);

        int loaders = 2;
        CyclicBarrier start = new CyclicBarrier(loaders);
        List<Class<?>> loaded = new ArrayList<>();
        List<Throwable> failures = new ArrayList<>();
        List<Thread> threads = new ArrayList<>();
        for (int i = 0; i < loaders; i++) {
            Thread thread = new Thread(() -> {
                try {
                    URLClassLoader loader = new URLClassLoader(new URL[] {jar.toUri().toURL()},
                            ClassLoader.getPlatformClassLoader());
                    start.await();
                    Class<?> quorvane = Class.forName(QUORVANE, true, loader);
                    // Only bound natives can answer: an unbound one throws UnsatisfiedLinkError.
                    Method addInclude = quorvane.getMethod("addInclude", String.class);
                    check(Boolean.TRUE.equals(addInclude.invoke(null, "com/example/Widget")), "addInclude failed");
                    synchronized (loaded) {
                        loaded.add(quorvane);
                    }
                } catch (Throwable t) {
                    synchronized (failures) {
                        failures.add(t instanceof InvocationTargetException ? t.getCause() : t);
                    }
                }
            });
            threads.add(thread);
            thread.start();
        }
        for (Thread thread : threads) {
            thread.join();
        }
        for (Throwable failure : failures) {
            failure.printStackTrace();
        }
        check(failures.isEmpty(), failures.size() + " class loader(s) could not load the library");
        check(loaded.get(0) != loaded.get(1), "both loaders got the same class");
        try (Stream<Path> left = Files.list(extractDir)) {
            List<Path> files = left.toList();
            check(files.isEmpty(), "extracted copies left behind: " + files);
        }
    }

    private static void missing(Path jar, String platform) throws Exception {
        URLClassLoader loader = new URLClassLoader(new URL[] {jar.toUri().toURL()},
                ClassLoader.getPlatformClassLoader());
        try {
            Class.forName(QUORVANE, true, loader);
        } catch (UnsatisfiedLinkError expected) {
            String message = expected.getMessage();
            System.out.println("got: " + message);
            for (String part : new String[] {"os.name=" + System.getProperty("os.name"),
                    "os.arch=" + System.getProperty("os.arch"), "ships linux-x86_64", "java.library.path",
                    "/native/" + platform + "/libquorvane.so"}) {
                check(message.contains(part), "the message does not name " + part);
            }
            return;
        }
        throw new AssertionError("loading succeeded without a native library");
    }

    private static final byte[] BUILD_ID_MARKER = "QUORVANE-BUILD-ID:".getBytes(StandardCharsets.US_ASCII);

    private static void libraryPath(Path library, Path jar, boolean otherBuild, String outcome) throws Exception {
        byte[] bytes = Files.readAllBytes(library);
        List<Integer> markers = new ArrayList<>();
        for (int i = 0; i + BUILD_ID_MARKER.length + 64 <= bytes.length; i++) {
            if (Arrays.equals(bytes, i, i + BUILD_ID_MARKER.length, BUILD_ID_MARKER, 0, BUILD_ID_MARKER.length)) {
                markers.add(i + BUILD_ID_MARKER.length);
            }
        }
        check(!markers.isEmpty(), "no build identifier in " + library);
        String built = new String(bytes, markers.get(0), 64, StandardCharsets.US_ASCII);
        String other = (built.charAt(0) == '0' ? "1" : "0") + built.substring(1);
        if (otherBuild) {
            for (int at : markers) {
                System.arraycopy(other.getBytes(StandardCharsets.US_ASCII), 0, bytes, at, 64);
            }
        }
        Path folder = Paths.get(System.getProperty("java.library.path"));
        Path copy = folder.resolve("libquorvane.so").toAbsolutePath();
        Files.createDirectories(folder);
        Files.write(copy, bytes);
        String copyId = otherBuild ? other : built;

        URLClassLoader loader = new URLClassLoader(new URL[] {jar.toUri().toURL()}, ClassLoader.getPlatformClassLoader());
        Class<?> quorvane;
        try {
            quorvane = Class.forName(QUORVANE, true, loader);
        } catch (UnsatisfiedLinkError failed) {
            String message = failed.getMessage();
            System.out.println("got: " + message);
            check(outcome.equals("fails"), "loading failed: " + message);
            for (String part : new String[] {copy.toString(), copyId, built, "java.library.path",
                    "/native/" + thisPlatform() + "/libquorvane.so"}) {
                check(message.contains(part), "the message does not name " + part);
            }
            check(mappedQuorvanes().isEmpty(), "a library was mapped: " + mappedQuorvanes());
            return;
        }
        check(!outcome.equals("fails"), "loading succeeded with a copy of build " + copyId + " and no library in the jar");
        // Only bound natives can answer: an unbound one throws UnsatisfiedLinkError.
        check(Boolean.TRUE.equals(quorvane.getMethod("addInclude", String.class).invoke(null, "com/example/")),
                "addInclude failed");
        List<String> mapped = mappedQuorvanes();
        boolean fromPath = mapped.contains(copy.toRealPath().toString());
        check(fromPath == outcome.equals("from-path"), "libraries mapped: " + mapped);
        check(Boolean.TRUE.equals(quorvane.getMethod("initNative").invoke(null)), "initNative failed");
        String log = Files.readString(Paths.get("libagent.log"));
        String passedOver = "[error] [Quorvane] Passed over " + copy + " on java.library.path, from another build of "
                + "Quorvane (build " + copyId + ", this jar's is " + built + "): loaded the jar's copy for "
                + thisPlatform() + " instead";
        check(log.contains(passedOver) == outcome.equals("jar-copy"), "libagent.log: " + log);
    }

    /** The libquorvane files mapped into this process. */
    private static List<String> mappedQuorvanes() throws Exception {
        return Files.readAllLines(Paths.get("/proc/self/maps")).stream().filter(l -> l.contains("libquorvane"))
                .map(l -> l.substring(l.indexOf('/')).replace(" (deleted)", "")).distinct().toList();
    }

    /** The jar folder for this JVM's machine, written out apart from the loader's own mapping. */
    private static String thisPlatform() {
        return switch (System.getProperty("os.arch")) {
            case "amd64", "x86_64" -> "linux-x86_64";
            case "aarch64", "arm64" -> "linux-aarch64";
            default -> throw new IllegalStateException("no expectation for os.arch=" + System.getProperty("os.arch"));
        };
    }

    private static void check(boolean condition, String what) {
        if (!condition) {
            throw new AssertionError(what);
        }
    }
}
