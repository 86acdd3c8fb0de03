package qvinst.mark;

import java.lang.instrument.Instrumentation;

/** An agent jar's agent that records that it ran, with its options. */
public final class MarkAgent {
    private MarkAgent() {
    }

    public static void agentmain(String options, Instrumentation inst) {
        System.setProperty("qvinst.mark", String.valueOf(options));
    }
}
