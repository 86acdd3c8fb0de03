package qvbench.retransform.agent;

import java.lang.instrument.Instrumentation;

/** The JDK's own route to retransformation: a -javaagent that hands its Instrumentation to the harness. */
public final class BenchAgent {
    private static volatile Instrumentation instrumentation;

    private BenchAgent() {
    }

    public static void premain(String args, Instrumentation inst) {
        instrumentation = inst;
    }

    public static Instrumentation instrumentation() {
        return instrumentation;
    }
}
