package qvbench;

import java.lang.instrument.Instrumentation;
import qv.vantrel.quorvane.Quorvane;
import qv.vantrel.quorvane.remapper.Remap;

/** Starts the library the way an application would; only touched in the library's configurations. */
final class LibSetup {
    private LibSetup() {
    }

    /**
     * @param includes "selected" (the selected packages), "many" (those and 10,000
     *     entries that match nothing) or "none"
     */
    static void start(String includes) {
        if (!includes.equals("none")) {
            for (int p = 0; p < CorpusGen.PACKAGES_PER_ROOT; p++) {
                Quorvane.addInclude(String.format("com/acme/orders/p%02d/", p));
            }
        }
        if (includes.equals("many")) {
            // Half package prefixes elsewhere, half class names beside the real ones.
            for (int i = 0; i < 5_000; i++) {
                Quorvane.addInclude("org/unrelated/module" + (i % 97) + "/sub" + i + "/");
                Quorvane.addInclude(String.format("com/acme/%s/p%02d/Ghost%d", i % 2 == 0 ? "orders" : "billing",
                        i % CorpusGen.PACKAGES_PER_ROOT, i));
            }
        }
        Remap.setTransformer((name, bytes) -> bytes);
        if (!Quorvane.initNative()) {
            throw new IllegalStateException("initNative failed; see libagent.log");
        }
    }

    /**
     * The JDK route's work on Quorvane's Instrumentation instead of a -javaagent: "copy"
     * registers the copying transformer of the agent jar (on the class path) on it, as
     * that agent's premain does; "none" only takes the Instrumentation.
     */
    static void startInstrumentation(String what) throws ReflectiveOperationException {
        Instrumentation inst = Quorvane.instrumentation();
        if (what.equals("copy")) {
            // B's transformer as B adds it: not retransform-capable, though Quorvane's
            // Instrumentation could be.
            Class.forName("qvbench.agent.CopyAgent")
                    .getMethod("install", String.class, Instrumentation.class, boolean.class)
                    .invoke(null, "com/acme/orders/", inst, false);
        } else if (!what.equals("none")) {
            throw new IllegalArgumentException("--instrumentation copy|none, not " + what);
        }
    }
}
