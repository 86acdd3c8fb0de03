package qvbench.junit;

import java.io.IOException;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.util.ServiceLoader;
import org.junit.platform.launcher.LauncherSessionListener;
import org.junit.platform.launcher.TestExecutionListener;

/**
 * What a run that opens two sessions (the console launcher opens one for discovery and one for
 * execution) spends on its session listeners, measured inside a fresh JVM: find them among the
 * services, make them, and call each twice. Run with quorvane-junit on the class path and no
 * agent declared, and without it, the difference is the listener's own cost. First the JVM does
 * what the platform has done anyway by then: read a service file of a jar (its engines') and make
 * the provider, and look for junit-platform.properties. Prints
 * "@@ <wall ns> <CPU ns of this thread>".
 *
 * <p>Usage: {@code ListenerCost <session listeners expected>}
 */
public final class ListenerCost {
    private ListenerCost() {
    }

    public static void main(String[] args) throws IOException {
        ThreadMXBean threads = ManagementFactory.getThreadMXBean();
        ClassLoader loader = Thread.currentThread().getContextClassLoader();
        // The launcher's own jar provides a TestExecutionListener: its service file is read as
        // the platform reads its engines' before it looks for session listeners.
        for (TestExecutionListener listener : ServiceLoader.load(TestExecutionListener.class, loader)) {
            listener.getClass();
        }
        loader.getResource("junit-platform.properties");
        threads.getCurrentThreadCpuTime();

        long start = System.nanoTime();
        long cpuStart = threads.getCurrentThreadCpuTime();
        int listeners = 0;
        for (LauncherSessionListener listener : ServiceLoader.load(LauncherSessionListener.class, loader)) {
            listener.launcherSessionOpened(null);
            listener.launcherSessionOpened(null);
            listeners++;
        }
        long cpuSpent = threads.getCurrentThreadCpuTime() - cpuStart;
        long spent = System.nanoTime() - start;
        if (listeners != Integer.parseInt(args[0])) {
            throw new IllegalStateException(listeners + " session listeners found, not " + args[0]);
        }
        System.out.println("@@ " + spent + " " + cpuSpent);
    }
}
