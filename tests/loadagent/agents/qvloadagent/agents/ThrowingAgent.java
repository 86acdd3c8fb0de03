package qvloadagent.agents;

import java.lang.instrument.ClassFileTransformer;
import java.lang.instrument.Instrumentation;
import java.security.ProtectionDomain;
import qvloadagent.Started;

/** Registers a transformer, then fails. */
public final class ThrowingAgent {
    /** What agentmain throws, for the case to find as the cause. */
    public static final IllegalStateException FAILURE = new IllegalStateException("agent failure on purpose");

    private ThrowingAgent() {
    }

    public static void agentmain(String options, Instrumentation inst) {
        inst.addTransformer(new ClassFileTransformer() {
            @Override
            public byte[] transform(Module module, ClassLoader loader, String name, Class<?> redefined,
                    ProtectionDomain domain, byte[] classFile) {
                if (name != null && name.startsWith("qvloadagent/fix/")) {
                    Started.SEEN.add("throwing-agent " + name);
                }
                return null;
            }
        });
        throw FAILURE;
    }
}
