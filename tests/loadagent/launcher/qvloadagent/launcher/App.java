package qvloadagent.launcher;

import java.lang.instrument.Instrumentation;
import qv.vantrel.quorvane.Quorvane;

/**
 * An application whose jar names a Launcher-Agent-Class, started with {@code java -jar}
 * (the JDK starts the agent) or from the class path (Quorvane.loadLauncherAgent() does);
 * main calls loadLauncherAgent() either way, and the agent must have run once, as
 * {@code java -jar} runs it.
 *
 * <p>Usage: {@code App java-jar|class-path}
 */
public final class App {
    private App() {
    }

    public static void main(String[] args) throws Exception {
        boolean javaJar = args[0].equals("java-jar");
        boolean started = Quorvane.loadLauncherAgent();
        check(started == !javaJar, "loadLauncherAgent() returned " + started);
        check(LauncherAgent.starts == 1, "the agent ran " + LauncherAgent.starts + " times");
        check("".equals(LauncherAgent.options), "its argument: " + LauncherAgent.options);
        Instrumentation inst = LauncherAgent.inst;
        check(inst.isRetransformClassesSupported() && !inst.isRedefineClassesSupported()
                && !inst.isNativeMethodPrefixSupported(), "the grants of the application jar's manifest");
        check(Class.forName("qvloadagent.boot.Boot1", false, null).getClassLoader() == null,
                "the Boot-Class-Path jar was not appended");
        check(LauncherAgent.class.getClassLoader() == ClassLoader.getSystemClassLoader(), "the agent's loader");
        System.out.println("launcher agent by " + args[0] + ": started once");
    }

    private static void check(boolean condition, String message) {
        if (!condition) {
            throw new AssertionError(message);
        }
    }
}
