package qvbench.agent;

import java.lang.instrument.ClassFileTransformer;
import java.lang.instrument.Instrumentation;
import java.security.ProtectionDomain;

/**
 * The JDK's own route to load-time rewriting: a {@code -javaagent} whose transformer
 * sees every class the JVM loads and returns a copy of the bytes for the classes
 * under the selected prefix (the agent argument) and null for the rest. Packed twice:
 * as is, and with {@code Can-Retransform-Classes: true} in its manifest, where the
 * transformer is added as retransform-capable, as the library's environment always is.
 */
public final class CopyAgent {
    /** Classes this agent copied; read by the harness's single-threaded check. */
    static long copied;

    private CopyAgent() {
    }

    public static long copied() {
        return copied;
    }

    public static void premain(String prefix, Instrumentation inst) {
        install(prefix, inst, inst.isRetransformClassesSupported());
    }

    /** The transformer on inst, retransform-capable or not (B's is not, BR's is). */
    public static void install(String prefix, Instrumentation inst, boolean retransformCapable) {
        String selected = prefix == null || prefix.isEmpty() ? "com/acme/orders/" : prefix;
        inst.addTransformer(new ClassFileTransformer() {
            @Override
            public byte[] transform(ClassLoader loader, String className, Class<?> classBeingRedefined,
                    ProtectionDomain protectionDomain, byte[] classfileBuffer) {
                if (className == null || !className.startsWith(selected)) {
                    return null;
                }
                copied++;
                return classfileBuffer.clone();
            }
        }, retransformCapable);
    }
}
