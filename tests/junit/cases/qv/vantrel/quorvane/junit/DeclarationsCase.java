package qv.vantrel.quorvane.junit;

import java.io.IOException;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Properties;
import java.util.function.Supplier;
import java.util.jar.Attributes;
import java.util.jar.JarOutputStream;
import java.util.jar.Manifest;
import org.junit.platform.commons.JUnitException;

/**
 * How the listener reads a declaration and finds its jar, without a JVM's agents: the keys and
 * their order, a system property over the file, the value split as -javaagent splits it, and the
 * jar found by path, by name in the working directory, or by pattern among class path entries,
 * module path folders, class loaders' URLs and manifest Class-Path jars. Runs in a working
 * directory of its own, which it fills.
 */
public final class DeclarationsCase {
    private static final String KEY = "qv.vantrel.quorvane.agent";
    private static int failures;

    private DeclarationsCase() {
    }

    public static void main(String[] args) throws Exception {
        keys();
        values();
        finding();
        if (failures > 0) {
            throw new AssertionError(failures + " checks failed");
        }
        System.out.println("declarations case: passed");
    }

    private static void keys() {
        // Accepted keys with their number; every other key starting with the prefix is refused.
        Object[][] table = {
            {KEY + ".1", 1}, {KEY + ".10", 10}, {KEY + ".999999999", 999999999},
            {KEY, null}, {KEY + ".", null}, {KEY + ".01", null}, {KEY + ".x", null}, {KEY + ".1.2", null},
            {KEY + "1", null}, {KEY + "s.1", null}, {KEY + ".-1", null}, {KEY + ".1000000000", null},
        };
        for (Object[] row : table) {
            Properties system = properties((String) row[0], "a.jar");
            try {
                List<Declaration> read = Declarations.of(system, null, null);
                check(row[1] != null && read.size() == 1 && read.get(0).number == (int) row[1],
                        row[0] + ": read as " + describe(read));
            } catch (JUnitException e) {
                check(row[1] == null && e.getMessage().contains(row[0] + " (system property) is no agent's key"),
                        row[0] + ": " + e.getMessage());
            }
        }
        // Other keys of Quorvane's, and of anyone's, are not agents.
        check(Declarations.of(properties("qv.vantrel.quorvane.log.level", "info", "agent.1", "x.jar"), null, null)
                .isEmpty(), "keys that are no agent's were read");

        // Started by number, not by text (2 before 10); the system property wins for its number.
        Properties file = properties(KEY + ".10", "ten.jar", KEY + ".2", "two.jar", KEY + ".1", "one.jar");
        Properties system = properties(KEY + ".2", "two-from-system.jar=x");
        List<Declaration> read = Declarations.of(system, file, "the file");
        check(describe(read).equals("[1 one.jar (the file), 2 two-from-system.jar (system property), 10 ten.jar (the file)]"),
                "order and precedence: " + describe(read));
    }

    private static void values() {
        // The value, then the jar and the options, as -javaagent splits it: at the first '='.
        String[][] table = {
            {"x.jar", "x.jar", null},
            {"x.jar=", "x.jar", ""},
            {"/opt/p.jar=interval=10ms,output=build/prof", "/opt/p.jar", "interval=10ms,output=build/prof"},
            {"  x.jar \t= a = b,, ", "x.jar", " a = b,, "},
            {"x.jar==", "x.jar", "="},
        };
        for (String[] row : table) {
            Declaration declaration = Declaration.parse(KEY + ".1", 1, row[0], "t");
            check(declaration.jar.equals(row[1]) && java.util.Objects.equals(declaration.options, row[2]),
                    "'" + row[0] + "' split as '" + declaration.jar + "' and '" + declaration.options + "'");
        }
        for (String value : new String[] {"", "   ", "=options", " =x"}) {
            try {
                Declaration.parse(KEY + ".3", 3, value, "t");
                check(false, "'" + value + "' was taken for a jar");
            } catch (JUnitException e) {
                check(e.getMessage().contains(KEY + ".3 = " + value + " (t): it names no jar"), e.getMessage());
            }
        }
    }

    private static void finding() throws IOException {
        Path here = Path.of("").toAbsolutePath();
        Path lib = Files.createDirectories(here.resolve("lib"));
        Path agent = jar(lib.resolve("byte-buddy-agent-1.12.21.jar"), null);
        Path core = jar(lib.resolve("byte-buddy-1.12.21.jar"), null);
        Files.createDirectories(lib.resolve("byte-buddy-agent-classes.jar"));
        Path link = Files.createSymbolicLink(lib.resolve("byte-buddy-agent.jar"), agent.getFileName());
        Path local = jar(here.resolve("local.jar"), null);
        // Only a manifest names this one, as a manifest-only jar names a build tool's class path.
        Path hidden = jar(Files.createDirectories(here.resolve("hidden")).resolve("profiler-2.0.jar"), null);
        Path manifestOnly = jar(here.resolve("classpath.jar"), "hidden/profiler-2.0.jar missing.jar");
        Path modules = Files.createDirectories(here.resolve("modules"));
        Path module = jar(modules.resolve("coverage-agent.jar"), null);
        Path loaded = jar(Files.createDirectories(here.resolve("loader")).resolve("leak-detector.jar"), null);

        String classPath = String.join(":", lib.resolve("byte-buddy-agent-classes.jar").toString(), agent.toString(),
                link.toString(), core.toString(), "relative-missing.jar", manifestOnly.toString());
        try (URLClassLoader loader = new URLClassLoader(new URL[] {loaded.toUri().toURL()}, null)) {
            Supplier<ClassPath> entries = () -> new ClassPath(classPath, modules.toString(), List.of(loader));
            // What is declared, and the jar found: a path, or a message naming what went wrong.
            Object[][] table = {
                {"/abs/missing.jar", Path.of("/abs/missing.jar")},
                {"lib/byte-buddy-1.12.21.jar", core},
                {"local.jar", local},
                {"byte-buddy-agent*.jar", agent},
                {"byte-buddy-1*.jar", core},
                {"byte-buddy-agent.jar", link},
                {"coverage-*.jar", module},
                {"leak-detector.jar", loaded},
                {"profiler-*.jar", hidden},
                {"byte-buddy*.jar", "byte-buddy*.jar names 2 jars of the class path and module path: " + agent + ", " + core},
                {"mockito-*.jar", "no jar on the class path or module path is named like mockito-*.jar. They hold: "
                        + "byte-buddy-agent-classes.jar/, byte-buddy-agent-1.12.21.jar, byte-buddy-agent.jar, "
                        + "byte-buddy-1.12.21.jar, relative-missing.jar, classpath.jar, modules/, coverage-agent.jar, "
                        + "leak-detector.jar. Add the agent's jar"},
                {"absent.jar", "no jar on the class path or module path is named absent.jar, and the working directory "
                        + here + " has none"},
                {"[a.jar", "not a path or a pattern of a file name"},
            };
            for (Object[] row : table) {
                Declaration declaration = Declaration.parse(KEY + ".1", 1, (String) row[0], "t");
                try {
                    Path found = AgentJarFinder.find(declaration, entries);
                    check(found.equals(row[1]), row[0] + " found " + found + ", not " + row[1]);
                } catch (JUnitException e) {
                    check(row[1] instanceof String && e.getMessage().startsWith(
                            "Cannot start the test run's agent " + KEY + ".1 = " + row[0] + " (t): " + row[1]),
                            row[0] + ": " + e.getMessage());
                }
            }
        }
        // A name that is a path needs no class path: it is never made for one.
        Declaration byPath = Declaration.parse(KEY + ".1", 1, "lib/byte-buddy-1.12.21.jar", "t");
        AgentJarFinder.find(byPath, () -> {
            throw new AssertionError("the class path was listed for a path");
        });
    }

    private static Path jar(Path path, String classPath) throws IOException {
        Manifest manifest = new Manifest();
        manifest.getMainAttributes().put(Attributes.Name.MANIFEST_VERSION, "1.0");
        if (classPath != null) {
            manifest.getMainAttributes().put(Attributes.Name.CLASS_PATH, classPath);
        }
        try (JarOutputStream out = new JarOutputStream(Files.newOutputStream(path), manifest)) {
            out.flush();
        }
        return path;
    }

    private static Properties properties(String... keysAndValues) {
        Properties properties = new Properties();
        for (int i = 0; i < keysAndValues.length; i += 2) {
            properties.setProperty(keysAndValues[i], keysAndValues[i + 1]);
        }
        return properties;
    }

    private static String describe(List<Declaration> declarations) {
        List<String> parts = new ArrayList<>();
        for (Declaration declaration : declarations) {
            parts.add(declaration.number + " " + declaration.jar + " (" + declaration.source + ")");
        }
        return parts.toString();
    }

    private static void check(boolean condition, String what) {
        if (!condition) {
            failures++;
            System.out.println("FAILED: " + what);
        }
    }
}
