package qv.vantrel.quorvane.junit;

import java.io.File;
import java.io.IOException;
import java.net.URISyntaxException;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.file.DirectoryStream;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.InvalidPathException;
import java.nio.file.Path;
import java.nio.file.PathMatcher;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.LinkedHashSet;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.function.Supplier;
import java.util.jar.Attributes;
import java.util.jar.JarFile;
import java.util.jar.Manifest;

/**
 * The entries of a test run's class path and module path, where a pattern of an agent jar's
 * file name is looked for: {@code java.class.path}; {@code jdk.module.path}, whose folders hold
 * modules; and the URLs of the class loaders that loaded the tests, which is where the console
 * launcher's {@code -jar} form and IDEs put the test class path. Jars that only another jar's
 * manifest {@code Class-Path} names (a build tool's or IDE's manifest-only jar) are looked at when
 * the entries themselves match nothing.
 */
final class ClassPath {
    private final List<Path> entries;

    ClassPath(String classPath, String modulePath, List<ClassLoader> loaders) {
        Set<Path> found = new LinkedHashSet<>();
        for (String entry : split(classPath)) {
            add(found, entry);
        }
        for (String entry : split(modulePath)) {
            Path folder = add(found, entry);
            if (folder != null && Files.isDirectory(folder)) {
                try (DirectoryStream<Path> modules = Files.newDirectoryStream(folder)) {
                    for (Path module : modules) {
                        found.add(module);
                    }
                } catch (IOException e) {
                    // A folder that cannot be listed holds nothing to match, as for the JVM.
                }
            }
        }
        for (ClassLoader loader : loaders) {
            for (ClassLoader each = loader; each != null; each = each.getParent()) {
                if (each instanceof URLClassLoader) {
                    for (URL url : ((URLClassLoader) each).getURLs()) {
                        Path path = path(url);
                        if (path != null) {
                            found.add(path);
                        }
                    }
                }
            }
        }
        entries = new ArrayList<>(found);
    }

    /**
     * The run's own class path, module path and the class path of these loaders and their
     * parents, made when first asked for: only a file name or a pattern needs it.
     */
    static Supplier<ClassPath> ofThisRun(List<ClassLoader> loaders) {
        return new Supplier<>() {
            private ClassPath made;

            @Override
            public ClassPath get() {
                if (made == null) {
                    made = new ClassPath(System.getProperty("java.class.path"), System.getProperty("jdk.module.path"),
                            loaders);
                }
                return made;
            }
        };
    }

    List<Path> entries() {
        return entries;
    }

    /**
     * The jars whose file name the glob matches, each file once (a link and its target are one
     * file), as the entries first name them; when none matches, those of the jars the entries'
     * manifests name.
     *
     * @throws IllegalArgumentException if the glob is not a valid pattern
     */
    List<Path> matching(String glob) {
        PathMatcher matcher = FileSystems.getDefault().getPathMatcher("glob:" + glob);
        List<Path> matches = matching(matcher, entries);
        return matches.isEmpty() ? matching(matcher, referenced()) : matches;
    }

    private static List<Path> matching(PathMatcher matcher, List<Path> paths) {
        Map<Path, Path> byFile = new LinkedHashMap<>();
        for (Path path : paths) {
            Path name = path.getFileName();
            if (name != null && matcher.matches(name) && Files.isRegularFile(path)) {
                byFile.putIfAbsent(realPath(path), path);
            }
        }
        return new ArrayList<>(byFile.values());
    }

    /** The jars that the manifests' Class-Path attributes reach, as the JVM follows them, less the entries. */
    private List<Path> referenced() {
        Set<Path> seen = new LinkedHashSet<>(entries);
        List<Path> pending = new ArrayList<>(entries);
        List<Path> referenced = new ArrayList<>();
        while (!pending.isEmpty()) {
            Path jar = pending.remove(pending.size() - 1);
            for (Path next : manifestClassPath(jar)) {
                if (seen.add(next)) {
                    referenced.add(next);
                    pending.add(next);
                }
            }
        }
        return referenced;
    }

    private static List<Path> manifestClassPath(Path jar) {
        List<Path> named = new ArrayList<>();
        if (!Files.isRegularFile(jar)) {
            return named;
        }
        String classPath;
        try (JarFile file = new JarFile(jar.toFile(), false)) {
            Manifest manifest = file.getManifest();
            classPath = manifest != null ? manifest.getMainAttributes().getValue(Attributes.Name.CLASS_PATH) : null;
        } catch (IOException | SecurityException e) {
            return named;
        }
        if (classPath == null) {
            return named;
        }
        // Each entry is a URL relative to the jar's, as the JVM reads it.
        for (String entry : classPath.trim().split("\\s+")) {
            try {
                Path path = path(new URL(jar.toUri().toURL(), entry));
                if (path != null) {
                    named.add(path);
                }
            } catch (IOException e) {
                // Malformed: the JVM ignores it too.
            }
        }
        return named;
    }

    private static List<String> split(String path) {
        List<String> parts = new ArrayList<>();
        if (path != null) {
            for (String part : path.split(File.pathSeparator)) {
                if (!part.isEmpty()) {
                    parts.add(part);
                }
            }
        }
        return parts;
    }

    private static Path add(Set<Path> found, String entry) {
        try {
            Path path = Path.of(entry).toAbsolutePath().normalize();
            found.add(path);
            return path;
        } catch (InvalidPathException e) {
            return null;
        }
    }

    private static Path path(URL url) {
        if (!"file".equals(url.getProtocol())) {
            return null;
        }
        try {
            return Path.of(url.toURI()).normalize();
        } catch (URISyntaxException | IllegalArgumentException e) {
            return null;
        }
    }

    private static Path realPath(Path path) {
        try {
            return path.toRealPath();
        } catch (IOException e) {
            return path;
        }
    }
}
