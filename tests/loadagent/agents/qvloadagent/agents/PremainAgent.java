package qvloadagent.agents;

import java.lang.instrument.Instrumentation;
import qvloadagent.Started;

/** An agent for the command line only. */
public final class PremainAgent {
    private PremainAgent() {
    }

    public static void premain(String options, Instrumentation inst) {
        Started.record(PremainAgent.class, "premain", options, inst);
    }
}
