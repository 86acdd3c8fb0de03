package qvloadagent.agents;

import java.lang.instrument.Instrumentation;

/** A class whose initialization fails. */
public final class FailingInitAgent {
    static {
        if (Boolean.TRUE) {
            throw new IllegalStateException("initialization failure on purpose");
        }
    }

    private FailingInitAgent() {
    }

    public static void agentmain(String options, Instrumentation inst) {
        throw new AssertionError("ran with a failed initialization");
    }
}
