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
import org.junit.platform.launcher.LauncherSession;
import org.junit.platform.launcher.LauncherSessionListener;
import qv.vantrel.quorvane.Quorvane;
import qv.vantrel.quorvane.instrument.CompanionLog;

/**
 * Starts the agents of a JUnit Platform test run when its launcher session opens, before any
 * test class is discovered, as {@code -javaagent} would have started them, with
 * {@link Quorvane#loadAgent(Path, String)}: no command-line flag and no attach. The JUnit
 * Platform (1.8 and later) finds this listener as a service of quorvane-junit.jar; nothing calls
 * it directly.
 *
 * <p>The agents are declared once for every build tool and IDE, one key per agent, in
 * {@code junit-platform.properties} on the test class path or as system properties (a system
 * property wins), and start in the order of their numbers:
 *
 * <pre>
 * qv.vantrel.quorvane.agent.1 = byte-buddy-agent*.jar
 * qv.vantrel.quorvane.agent.2 = /opt/tools/profiler.jar=interval=10ms,output=build/prof
 * </pre>
 *
 * <p>The value is what follows {@code -javaagent:}: the jar, then optionally {@code '='} and
 * the agent's options, passed on exactly as written. The jar is a path (absolute, or relative to
 * the working directory), or a file name or a pattern of one, matched against the file names of
 * the run's class path and module path, which must name exactly one jar.
 *
 * <p>Each declaration starts once in a JVM, in the first session that declares it: build tools
 * and IDEs open several sessions in one JVM. A declaration that cannot be started (no jar or
 * several match, the jar is no agent, the agent throws, the JVM refuses agents) fails the
 * session with a {@link JUnitException} that names the key, the value and what went wrong; no
 * test runs without its agents.
 *
 * <p>Threads: sessions may open on any thread; this copy starts one session's agents at a time.
 */
public final class AgentLauncherSessionListener implements LauncherSessionListener {
    // What this copy has started, by declaration: null when it started, else its failure, which
    // a later session reports again rather than running the agent's premain a second time.
    // Guarded by the class's lock.
    private static final Map<String, JUnitException> STARTED = new HashMap<>();

    private static final String JVM_OPTIONS = " JVM options go in Surefire's argLine, Gradle's jvmArgs or the IDE's"
            + " run configuration";

    /** Made by the JUnit Platform's service loader. */
    public AgentLauncherSessionListener() {
    }

    /**
     * Starts the agents declared for the test run and not started yet in this JVM.
     *
     * @throws JUnitException if an agent cannot be started; the session then fails to open
     */
    @Override
    public void launcherSessionOpened(LauncherSession session) {
        // The loader JUnit itself finds junit-platform.properties with.
        ClassLoader loader = Thread.currentThread().getContextClassLoader();
        if (loader == null) {
            loader = AgentLauncherSessionListener.class.getClassLoader();
        }
        List<Declaration> agents = Declarations.read(loader);
        if (!agents.isEmpty()) {
            start(agents, loader);
        }
    }

    private static synchronized void start(List<Declaration> agents, ClassLoader loader) {
        Supplier<ClassPath> classPath = ClassPath.ofThisRun(
                Arrays.asList(loader, AgentLauncherSessionListener.class.getClassLoader()));
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
