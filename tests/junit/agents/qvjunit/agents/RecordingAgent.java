package qvjunit.agents;

import java.lang.instrument.ClassFileTransformer;
import java.lang.instrument.Instrumentation;
import java.security.ProtectionDomain;

/**
 * The tests' own agent. Each start records, in system properties the tests read, its options
 * exactly as received ({@code qvjunit.agent.options.<n>}, the n-th start) and the
 * Instrumentation's class ({@code qvjunit.agent.instrumentation.<n>}), counts the starts
 * ({@code qvjunit.agent.starts}) and adds a transformer that changes nothing. Options that
 * begin with "throw" make it refuse to start.
 */
public final class RecordingAgent {
    private RecordingAgent() {
    }

    public static void premain(String options, Instrumentation inst) {
        if (options != null && options.startsWith("throw")) {
            throw new IllegalArgumentException("RecordingAgent refuses its options: " + options);
        }
        synchronized (RecordingAgent.class) {
            int start = Integer.getInteger("qvjunit.agent.starts", 0) + 1;
            System.setProperty("qvjunit.agent.starts", Integer.toString(start));
            System.setProperty("qvjunit.agent.options." + start, options == null ? "<null>" : options);
            System.setProperty("qvjunit.agent.instrumentation." + start, inst.getClass().getName());
        }
        inst.addTransformer(new Unchanged());
    }

    /** Shows in the Transformers MXBean under its own name. */
    static final class Unchanged implements ClassFileTransformer {
        @Override
        public byte[] transform(ClassLoader loader, String className, Class<?> classBeingRedefined,
                ProtectionDomain protectionDomain, byte[] classfileBuffer) {
            return null;
        }
    }
}
