package qvobserve.oracle;

import java.lang.instrument.ClassFileTransformer;
import java.lang.instrument.Instrumentation;
import java.security.ProtectionDomain;
import java.util.ArrayList;
import java.util.List;

/**
 * The JDK's word on why a transformer runs: a -javaagent with one transformer of each
 * kind that notes, for the fixture classes, whether a class was being redefined and
 * which of the two ran. The JDK runs both for a load and a redefinition and only the
 * retransformable one for a retransformation.
 */
public final class OracleAgent {
    private static volatile Instrumentation instrumentation;
    private static final List<String> SEEN = new ArrayList<>();

    private OracleAgent() {
    }

    private static final class Noting implements ClassFileTransformer {
        private final String kind;

        Noting(String kind) {
            this.kind = kind;
        }

        @Override
        public byte[] transform(ClassLoader loader, String name, Class<?> redefined, ProtectionDomain domain,
                byte[] classFile) {
            if (name != null && name.startsWith("qvobserve/fix/")) {
                synchronized (SEEN) {
                    SEEN.add(kind + " " + name + " " + (redefined != null));
                }
            }
            return null;
        }
    }

    public static void premain(String options, Instrumentation inst) {
        inst.addTransformer(new Noting("plain"));
        inst.addTransformer(new Noting("retransformable"), true);
        instrumentation = inst;
    }

    public static Instrumentation instrumentation() {
        return instrumentation;
    }

    /** What the transformers noted since the last call: "plain|retransformable <class> <being redefined>". */
    public static List<String> drain() {
        synchronized (SEEN) {
            List<String> seen = new ArrayList<>(SEEN);
            SEEN.clear();
            return seen;
        }
    }
}
