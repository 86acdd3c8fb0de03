package qv.vantrel.quorvane.junit;

import java.net.URL;
import java.nio.file.Path;
import java.util.List;
import org.junit.platform.commons.JUnitException;
import org.junit.platform.launcher.LauncherSession;
import org.junit.platform.launcher.LauncherSessionListener;
import qv.vantrel.quorvane.Quorvane;

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
        // Runs that declare nothing, most of them, stop here: no key, no file.
        URL file = loader.getResource(Declarations.FILE);
        if (file == null && !anySystemKey()) {
            return;
        }
        List<Declaration> agents = Declarations.read(file);
        if (!agents.isEmpty()) {
            TestRunAgents.start(agents, loader);
        }
    }

    /** Whether a system property's key begins as an agent's does. */
    private static boolean anySystemKey() {
        for (Object key : System.getProperties().keySet()) {
            if (key instanceof String && ((String) key).startsWith(Declarations.KEY)) {
                return true;
            }
        }
        return false;
    }
}
