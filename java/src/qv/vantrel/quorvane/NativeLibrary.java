package qv.vantrel.quorvane;

import java.io.IOException;
import java.io.InputStream;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.nio.file.attribute.FileAttribute;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.Locale;

/**
 * Finds and loads {@code libquorvane.so}: from {@code java.library.path} when it is
 * there, otherwise from the copy for this platform inside the jar.
 *
 * <p>The jar's copy is extracted to a new owner-only temporary file for every load
 * and deleted once loaded. A file per load matters: the JVM binds a native library to
 * the one class loader that loaded it and refuses the same path to a second loader,
 * so two class loaders (or two JVMs) never share an extracted file.
 */
final class NativeLibrary {
    static final String NAME = "quorvane";

    /** Where extracted copies go; defaults to {@code java.io.tmpdir} (set it where /tmp is noexec). */
    static final String TMPDIR_PROPERTY = "qv.vantrel.quorvane.tmpdir";

    private NativeLibrary() {
    }

    static void load() {
        UnsatisfiedLinkError fromLibraryPath;
        try {
            System.loadLibrary(NAME);
            return;
        } catch (UnsatisfiedLinkError notOnPath) {
            // Absent, built for another platform, or already bound to another class loader.
            fromLibraryPath = notOnPath;
        }
        String platform = platform();
        String resource = "/native/" + platform + "/" + System.mapLibraryName(NAME);
        try (InputStream in = NativeLibrary.class.getResourceAsStream(resource)) {
            if (in == null) {
                throw failure("no " + resource + " in the jar", fromLibraryPath, null);
            }
            loadCopy(in, platform, fromLibraryPath);
        } catch (IOException copyFailure) {
            throw failure("could not copy " + resource + " into " + extractDir() + ": " + copyFailure,
                    fromLibraryPath, copyFailure);
        }
    }

    private static void loadCopy(InputStream in, String platform, UnsatisfiedLinkError fromLibraryPath)
            throws IOException {
        Path copy = Files.createTempFile(extractDir(), "lib" + NAME + "-", ".so", ownerOnly());
        try {
            Files.copy(in, copy, StandardCopyOption.REPLACE_EXISTING);
            try {
                System.load(copy.toAbsolutePath().toString());
            } catch (UnsatisfiedLinkError loadFailure) {
                throw failure("the jar's copy for " + platform + " did not load from " + copy
                        + " (if that directory is mounted noexec, set -D" + TMPDIR_PROPERTY + "=<dir>)",
                        fromLibraryPath, loadFailure);
            }
        } finally {
            // The mapping outlives the file on Linux, so nothing is left behind in tmp.
            try {
                Files.deleteIfExists(copy);
            } catch (IOException stillThere) {
                copy.toFile().deleteOnExit();
            }
        }
    }

    private static Path extractDir() {
        return Paths.get(System.getProperty(TMPDIR_PROPERTY, System.getProperty("java.io.tmpdir")));
    }

    private static FileAttribute<?>[] ownerOnly() {
        if (FileSystems.getDefault().supportedFileAttributeViews().contains("posix")) {
            return new FileAttribute<?>[] {PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rw-------"))};
        }
        return new FileAttribute<?>[0];
    }

    /**
     * The jar's folder name for this machine, e.g. {@code linux-x86_64}: JDKs say amd64 or
     * x86_64, and aarch64 or arm64, for the two architectures the jar carries.
     */
    static String platform() {
        String os = System.getProperty("os.name", "unknown").toLowerCase(Locale.ROOT).replaceAll("[^a-z0-9]+", "");
        String arch = System.getProperty("os.arch", "unknown").toLowerCase(Locale.ROOT);
        if (arch.equals("amd64") || arch.equals("x86_64") || arch.equals("x86-64")) {
            arch = "x86_64";
        } else if (arch.equals("arm64")) {
            arch = "aarch64";
        }
        return os + "-" + arch;
    }

    private static UnsatisfiedLinkError failure(String jarProblem, UnsatisfiedLinkError fromLibraryPath, Throwable cause) {
        UnsatisfiedLinkError error = new UnsatisfiedLinkError("Quorvane: cannot load " + System.mapLibraryName(NAME)
                + " on os.name=" + System.getProperty("os.name") + ", os.arch=" + System.getProperty("os.arch")
                + " (platform " + platform() + "; this jar ships " + NativePlatforms.SHIPPED + "). Looked on java.library.path ["
                + System.getProperty("java.library.path") + "]: " + fromLibraryPath.getMessage()
                + "; then in the jar: " + jarProblem);
        if (cause != null) {
            error.initCause(cause);
        }
        error.addSuppressed(fromLibraryPath);
        return error;
    }
}
