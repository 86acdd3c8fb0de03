package qv.vantrel.quorvane.junit;

import java.nio.file.Files;
import java.nio.file.InvalidPathException;
import java.nio.file.Path;
import java.util.List;
import java.util.function.Supplier;
import java.util.regex.PatternSyntaxException;
import org.junit.platform.commons.JUnitException;

/**
 * Which jar a declaration names. With a folder in it ({@code /opt/tools/profiler.jar},
 * {@code build/agent.jar}) the jar is that path, relative ones from the working directory.
 * Without one it is a file name, or a pattern of one ({@code *}, {@code ?}, {@code [...]},
 * {@code {a,b}}), matched against the file names of the run's class path and module path;
 * exactly one jar must match. A plain file name that is in the working directory is that file.
 */
final class AgentJarFinder {
    // Messages list this many entries of the class path, then how many more there are.
    private static final int LISTED = 60;

    private AgentJarFinder() {
    }

    /**
     * @param classPath the run's class path, made when a name has to be looked for there
     * @throws JUnitException naming the declaration, what the class path holds and how to fix it,
     *     when no jar or several match
     */
    static Path find(Declaration declaration, Supplier<ClassPath> classPath) {
        String jar = declaration.jar;
        try {
            if (jar.indexOf('/') >= 0) {
                return Path.of(jar).toAbsolutePath().normalize();
            }
            boolean pattern = isPattern(jar);
            if (!pattern) {
                Path here = Path.of(jar).toAbsolutePath();
                if (Files.isRegularFile(here)) {
                    return here;
                }
            }
            ClassPath entries = classPath.get();
            List<Path> matches = entries.matching(jar);
            if (matches.size() == 1) {
                return matches.get(0);
            }
            if (matches.isEmpty()) {
                throw failure(declaration, "no jar on the class path or module path is named " + (pattern ? "like " : "")
                        + jar + (pattern ? "" : ", and the working directory " + Path.of("").toAbsolutePath()
                        + " has none") + ". They hold: " + names(entries.entries())
                        + ". Add the agent's jar to the test run's class path (a test dependency), or give its path");
            }
            throw failure(declaration, jar + " names " + matches.size() + " jars of the class path and module path: "
                    + joined(matches) + ". It must name one: make the pattern narrower, or give the jar's path");
        } catch (InvalidPathException | PatternSyntaxException e) {
            throw failure(declaration, "not a path or a pattern of a file name: " + e.getMessage());
        }
    }

    static JUnitException failure(Declaration declaration, String what) {
        return new JUnitException("Cannot start the test run's agent " + declaration.describe() + ": " + what);
    }

    private static boolean isPattern(String name) {
        for (int i = 0; i < name.length(); i++) {
            char c = name.charAt(i);
            if (c == '*' || c == '?' || c == '[' || c == '{') {
                return true;
            }
        }
        return false;
    }

    private static String names(List<Path> entries) {
        if (entries.isEmpty()) {
            return "nothing";
        }
        StringBuilder text = new StringBuilder();
        for (int i = 0; i < entries.size() && i < LISTED; i++) {
            Path name = entries.get(i).getFileName();
            text.append(i == 0 ? "" : ", ").append(name != null ? name : entries.get(i));
            if (Files.isDirectory(entries.get(i))) {
                text.append('/');
            }
        }
        if (entries.size() > LISTED) {
            text.append(" and ").append(entries.size() - LISTED).append(" more");
        }
        return text.toString();
    }

    private static String joined(List<Path> paths) {
        StringBuilder text = new StringBuilder();
        for (Path path : paths) {
            text.append(text.length() == 0 ? "" : ", ").append(path);
        }
        return text.toString();
    }
}
