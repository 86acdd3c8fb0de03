package qvloadagent.launcher;

import java.lang.instrument.Instrumentation;

/** The agent the application jar's Launcher-Agent-Class names. */
public final class LauncherAgent {
    static volatile int starts;
    static volatile String options;
    static volatile Instrumentation inst;

    private LauncherAgent() {
    }

    public static void agentmain(String options, Instrumentation inst) {
        starts++;
        LauncherAgent.options = options;
        LauncherAgent.inst = inst;
    }
}
