package qvloadagent.agents;

import java.lang.instrument.Instrumentation;
import qvloadagent.Started;

/** Not public: the JDK starts it anyway, being in the unnamed module. */
final class PackagePrivateAgent {
    private PackagePrivateAgent() {
    }

    public static void agentmain(String options, Instrumentation inst) {
        Started.record(PackagePrivateAgent.class, "agentmain", options, inst);
    }
}
