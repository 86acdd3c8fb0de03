package qvloadagent.agents;

import qvloadagent.Started;

/** Entry methods without the Instrumentation. */
public final class OneArgumentAgent {
    private OneArgumentAgent() {
    }

    public static void agentmain(String options) {
        Started.record(OneArgumentAgent.class, "agentmain", options, null);
    }

    public static void premain(String options) {
        Started.record(OneArgumentAgent.class, "premain", options, null);
    }
}
