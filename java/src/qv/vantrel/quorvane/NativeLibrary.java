package qv.vantrel.quorvane;

import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.InvalidPathException;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.nio.file.attribute.FileAttribute;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.Locale;

/**
 * Finds and loads {@code libquorvane.so}: from {@code java.library.path} when one is
 * there that this jar's build made, otherwise from the copy for this platform inside
 * the jar.
 *
 * <p>A library on {@code java.library.path} is checked before it is loaded: it must
 * carry the build identifier this jar carries ({@link NativeBuild#ID}, a marker in the
 * library's data). One from another build of Quorvane would lack natives this jar
 * declares, or behave differently, and once loaded into a class loader it could not be
 * replaced there: the jar's own copy, loaded beside it, would leave the JVM two
 * libraries to bind each native to. So a stale library is never loaded; the jar's copy
 * is, and the log's start says what was passed over.
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

    /**
     * What precedes the build identifier in the library's data (keep in sync with
     * src/buildId.cpp.in). Its first character occurs nowhere else in it, which the
     * scan relies on.
     */
    private static final byte[] BUILD_ID_MARKER = "QUORVANE-BUILD-ID:".getBytes(StandardCharsets.US_ASCII);

    /** A build identifier: a SHA-256, in lowercase hexadecimal. */
    private static final int BUILD_ID_LENGTH = 64;

    /** Why a library on java.library.path was passed over, for the log's start; null when none was. */
    private static String passedOver;

    private NativeLibrary() {
    }

    static void load() {
        String libraryPath = System.getProperty("java.library.path", "");
        UnsatisfiedLinkError fromLibraryPath;
        String otherBuild = null;
        Path found = findOnLibraryPath(libraryPath);
        if (found == null) {
            fromLibraryPath = new UnsatisfiedLinkError("no " + System.mapLibraryName(NAME) + " there");
        } else {
            String foundId = buildIdOf(found);
            if (NativeBuild.ID.equals(foundId)) {
                try {
                    System.load(found.toString());
                    return;
                } catch (UnsatisfiedLinkError notLoaded) {
                    // Built for another platform, or already bound to another class loader.
                    fromLibraryPath = notLoaded;
                }
            } else {
                otherBuild = "from another build of Quorvane (build "
                        + (foundId == null ? "unknown: it carries no build identifier" : foundId)
                        + ", this jar's is " + NativeBuild.ID + ")";
                fromLibraryPath = new UnsatisfiedLinkError(found + " is " + otherBuild + ", not loaded");
            }
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
        if (otherBuild != null) {
            passedOver = "Passed over " + found + " on java.library.path, " + otherBuild + ": loaded the jar's copy for "
                    + platform + " instead";
        }
    }

    /**
     * Why the library on java.library.path was not the one loaded, when there was one: a line
     * for the start of the log. Null when none was passed over.
     */
    static String passedOver() {
        return passedOver;
    }

    /**
     * The first libquorvane.so in the path's folders, as System.loadLibrary searches them, as an
     * absolute path; null when none.
     */
    private static Path findOnLibraryPath(String libraryPath) {
        for (String folder : libraryPath.split(File.pathSeparator, -1)) {
            try {
                Path candidate = Paths.get(folder.isEmpty() ? "." : folder, System.mapLibraryName(NAME));
                if (Files.isRegularFile(candidate)) {
                    return candidate.toAbsolutePath();
                }
            } catch (InvalidPathException unusable) {
                // Not a folder this file system can have: nothing there.
            }
        }
        return null;
    }

    /**
     * The build identifier a library file carries, or null when it carries none or cannot be
     * read. The marker sits in the library's read-only data, ahead of the debugging sections a
     * library with debug information carries, so the scan stops within the first megabyte.
     */
    static String buildIdOf(Path library) {
        try (InputStream in = Files.newInputStream(library)) {
            byte[] buffer = new byte[1 << 16];
            int matched = 0;
            for (int read; (read = in.read(buffer)) > 0;) {
                for (int i = 0; i < read; i++) {
                    byte b = buffer[i];
                    if (b == BUILD_ID_MARKER[matched]) {
                        if (++matched == BUILD_ID_MARKER.length) {
                            return readBuildId(in, buffer, i + 1, read);
                        }
                    } else {
                        matched = b == BUILD_ID_MARKER[0] ? 1 : 0;
                    }
                }
            }
        } catch (IOException unreadable) {
            // No identifier can be told: the library counts as another build's.
        }
        return null;
    }

    // The identifier right after the marker: what is left of the buffer, then more of the file.
    private static String readBuildId(InputStream in, byte[] buffer, int from, int to) throws IOException {
        byte[] id = new byte[BUILD_ID_LENGTH];
        int have = Math.min(to - from, BUILD_ID_LENGTH);
        System.arraycopy(buffer, from, id, 0, have);
        while (have < BUILD_ID_LENGTH) {
            int read = in.read(id, have, BUILD_ID_LENGTH - have);
            if (read < 0) {
                return null;
            }
            have += read;
        }
        for (byte b : id) {
            if (!(b >= '0' && b <= '9' || b >= 'a' && b <= 'f')) {
                return null;
            }
        }
        return new String(id, StandardCharsets.US_ASCII);
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
