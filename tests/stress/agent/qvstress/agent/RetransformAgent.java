package qvstress.agent;

import java.lang.instrument.Instrumentation;

/** A second agent in the same JVM: it only hands its Instrumentation to the test. */
public final class RetransformAgent {
    private static volatile Instrumentation instrumentation;

    private RetransformAgent() {
    }

    public static void premain(String args, Instrumentation inst) {
        instrumentation = inst;
    }

    public static void agentmain(String args, Instrumentation inst) {
        instrumentation = inst;
    }

    public static Instrumentation instrumentation() {
        return instrumentation;
    }
}
