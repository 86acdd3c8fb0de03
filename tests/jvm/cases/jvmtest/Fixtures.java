package jvmtest;

import java.io.IOException;
import java.io.InputStream;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.file.Path;
import java.util.function.Supplier;

/**
 * Loads the fixture classes, which are not on the class path: each call defines the class
 * anew in a fresh loader, so the same class can pass through the agent again after a
 * filter edit.
 */
final class Fixtures {
    private static final URL JAR = locate();

    private Fixtures() {
    }

    private static URL locate() {
        String jar = System.getProperty("fixtures.jar");
        Check.that(jar != null, "the case needs -Dfixtures.jar=<path of the fixture classes>");
        try {
            return Path.of(jar).toUri().toURL();
        } catch (IOException e) {
            throw new IllegalStateException(e);
        }
    }

    /**
     * Loads a fixture (binary name, e.g. fixture.Greeter$Part) and returns what its get()
     * gives: "original", or "rewritten" when the transformer edited it.
     */
    static String run(String binaryName) throws Exception {
        try (URLClassLoader loader = loader()) {
            return get(load(binaryName, loader));
        }
    }

    /** A fresh loader of the fixture classes, for cases that keep the classes it loads. */
    static URLClassLoader loader() {
        return new URLClassLoader(new URL[] {JAR}, Fixtures.class.getClassLoader());
    }

    /** Loads and initializes a fixture (binary name) in the given fixtures loader. */
    static Class<?> load(String binaryName, URLClassLoader loader) throws ClassNotFoundException {
        Class<?> type = Class.forName(binaryName, true, loader);
        Check.that(type.getClassLoader() == loader, "%s was not loaded from the fixtures jar", binaryName);
        return type;
    }

    /** What a new instance of a loaded fixture gives from get(), with its code as it is now. */
    static String get(Class<?> type) throws ReflectiveOperationException {
        Supplier<?> fixture = (Supplier<?>) type.getDeclaredConstructor().newInstance();
        return String.valueOf(fixture.get());
    }

    /** The class file of a fixture as the jar holds it. */
    static byte[] classFile(String internalName) throws IOException {
        try (URLClassLoader loader = new URLClassLoader(new URL[] {JAR}, null);
                InputStream in = loader.getResourceAsStream(internalName + ".class")) {
            Check.that(in != null, "no %s.class in the fixtures jar", internalName);
            return in.readAllBytes();
        }
    }
}
