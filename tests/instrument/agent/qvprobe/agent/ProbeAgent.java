package qvprobe.agent;

import java.lang.instrument.Instrumentation;

/** The JDK's own route: hands the Instrumentation of a -javaagent to the test programs. */
public final class ProbeAgent {
    private static volatile Instrumentation instrumentation;

    private ProbeAgent() {
    }

    public static void premain(String options, Instrumentation inst) {
        instrumentation = inst;
    }

    public static Instrumentation instrumentation() {
        return instrumentation;
    }
}
