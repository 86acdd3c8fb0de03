package qvloadagent.agents;

import java.lang.instrument.Instrumentation;
import qvloadagent.Started;

/** Records each start, by either entry method. */
public final class RecordingAgent {
    private RecordingAgent() {
    }

    public static void agentmain(String options, Instrumentation inst) {
        Started.record(RecordingAgent.class, "agentmain", options, inst);
    }

    public static void premain(String options, Instrumentation inst) {
        Started.record(RecordingAgent.class, "premain", options, inst);
    }
}
