package qvinst.app;

import java.lang.instrument.Instrumentation;

/** The Launcher-Agent-Class of app.jar: records that it ran. */
public final class LauncherAgent {
    private LauncherAgent() {
    }

    public static void agentmain(String options, Instrumentation inst) {
        System.setProperty("qvinst.launcher", "started");
    }
}
