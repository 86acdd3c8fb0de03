package qvloadagent.agents;

import java.lang.instrument.Instrumentation;

/** Methods with the entry names but neither form of their parameters. */
public final class NoEntryAgent {
    private NoEntryAgent() {
    }

    public static void agentmain(Instrumentation inst) {
        throw new AssertionError("not an entry method");
    }

    public static void premain(String options, int other) {
        throw new AssertionError("not an entry method");
    }
}
