package qvloadagent.agents;

import java.lang.instrument.Instrumentation;

/** An entry method that is not static. */
public final class InstanceEntryAgent {
    public void agentmain(String options, Instrumentation inst) {
        throw new AssertionError("started a method that is not static");
    }
}
