package qvloadagent.agents;

import java.lang.instrument.Instrumentation;

/** An entry method that is not public. */
public final class PrivateEntryAgent {
    private PrivateEntryAgent() {
    }

    static void agentmain(String options, Instrumentation inst) {
        throw new AssertionError("started a method that is not public");
    }
}
