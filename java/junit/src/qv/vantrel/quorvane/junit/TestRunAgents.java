package qv.vantrel.quorvane.junit;

import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.HashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.function.Supplier;
import org.junit.platform.commons.JUnitException;
import qv.vantrel.quorvane.Quorvane;
import qv.vantrel.quorvane.instrument.CompanionLog;

/**
 * Starts the declared agents of a test run with {@link Quorvane#loadAgent(Path, String)}, each
 * once in this copy however many sessions declare it, and turns a failure into the session's one
 * message: the key, the value, what went wrong and how to fix it. Loaded only when a run declares
 * an agent.
 *
 * <p>Threads: any; one session's agents start at a time, under the class's lock.
 */
final class TestRunAgents {
    // What this copy has started, by declaration: null when it started, else its failure, which
    // a later session reports again rather than running the agent's premain a second time.
    // Guarded by the class's lock.
    private static final Map<String, JUnitException> STARTED = new HashMap<>();

    private static final String JVM_OPTIONS = " JVM options go in Surefire's argLine, Gradle's jvmArgs or the IDE's"
            + " run configuration";

    private TestRunAgents() {
    }

    /**
     * Starts those of the agents that this copy has not started yet, in their order.
     *
     * @param loader the loader of the tests, whose class path a file name or pattern is looked for in
     * @throws JUnitException if one cannot be started, or could not be by an earlier session
     */
    static synchronized void start(List<Declaration> agents, ClassLoader loader) {
        Supplier<ClassPath> classPath = ClassPath.ofThisRun(
                Arrays.asList(loader, TestRunAgents.class.getClassLoader()));
        for (Declaration agent : agents) {
            String identity = agent.identity();
            if (STARTED.containsKey(identity)) {
                JUnitException failure = STARTED.get(identity);
                if (failure != null) {
                    throw new JUnitException(failure.getMessage() + " (as when an earlier session of this JVM tried it)",
                            failure.getCause());
                }
                continue;
            }
            Path jar = AgentJarFinder.find(agent, classPath);
            long start = System.nanoTime();
            try {
                Quorvane.loadAgent(jar, agent.options);
            } catch (RuntimeException | LinkageError e) {
                JUnitException failure = explain(agent, e);
                STARTED.put(identity, failure);
                throw failure;
            }
            double millis = (System.nanoTime() - start) / 1e6;
            STARTED.put(identity, null);
            CompanionLog.info(String.format(Locale.ROOT, "Started the test run's agent %s in %.1f ms: %s, %s", agent.key,
                    millis, jar, agent.options == null ? "no options" : "options \"" + agent.options + "\""));
        }
    }

    /** The failure of a start, with how to fix it. */
    private static JUnitException explain(Declaration agent, Throwable e) {
        String what;
        if (e instanceof IllegalArgumentException && e.getCause() instanceof NoSuchFileException) {
            what = e.getMessage() + ". Check the path (a relative one starts at the working directory "
                    + Path.of("").toAbsolutePath() + "), or name a jar of the class path by its file name or a"
                    + " pattern of it";
        } else if (e instanceof IllegalArgumentException) {
            what = e.getMessage() + ". Name the agent's own jar, whose manifest gives its Premain-Class or"
                    + " Agent-Class";
        } else if (e instanceof IllegalStateException && e.getCause() != null) {
            what = e.getMessage() + ". The agent's exception is the cause below; check the options after '='"
                    + (agent.options == null ? " (it was given none)" : " (it was given \"" + agent.options + "\")");
        } else if (e instanceof IllegalCallerException || e instanceof IllegalStateException) {
            what = "the JVM refused it: " + e.getMessage() + "." + JVM_OPTIONS;
        } else if (causedBy(e, IllegalCallerException.class)) {
            // The JVM denied the native library itself (--illegal-native-access=deny).
            what = "Quorvane could not start in this JVM: " + chain(e) + ". The JVM denies native access to the"
                    + " code that loads Quorvane's library: allow it with --enable-native-access=ALL-UNNAMED"
                    + " (on the module path, --enable-native-access=qv.vantrel.quorvane)." + JVM_OPTIONS;
        } else {
            what = "Quorvane could not start in this JVM: " + chain(e) + ". quorvane-junit needs the quorvane.jar"
                    + " of its version on the same class path (a dependency of it)";
        }
        return new JUnitException(AgentJarFinder.failure(agent, what).getMessage(), e);
    }

    private static boolean causedBy(Throwable e, Class<? extends Throwable> type) {
        Throwable cause = e;
        for (int links = 0; cause != null && links < 5; links++, cause = cause.getCause()) {
            if (type.isInstance(cause)) {
                return true;
            }
        }
        return false;
    }

    /** An error and its causes: an ExceptionInInitializerError says nothing by itself. */
    private static String chain(Throwable e) {
        StringBuilder text = new StringBuilder(String.valueOf(e));
        Throwable cause = e.getCause();
        // A few links: a chain may loop.
        for (int links = 0; cause != null && links < 4; links++, cause = cause.getCause()) {
            text.append(", caused by ").append(cause);
        }
        return text.toString();
    }
}
