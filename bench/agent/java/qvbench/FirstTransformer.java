package qvbench;

import qv.vantrel.quorvane.remapper.Remap;

/**
 * What a JVM's first transformer costs: the wall time of the first
 * {@code Remap.setTransformer} in a fresh JVM that has used neither JMX nor JFR, which
 * listens for JFR and looks for the platform MBean server (registering the Transformers
 * MXBean when it is there; it is not, here). Prints {@code @@ <nanoseconds>}. Run by
 * bench/agent/first-transformer.sh.
 */
public final class FirstTransformer {
    private FirstTransformer() {
    }

    public static void main(String[] args) {
        Remap.Transformer none = (name, bytes) -> null;
        long start = System.nanoTime();
        Remap.setTransformer(none);
        long elapsed = System.nanoTime() - start;
        System.out.println("@@ " + elapsed);
    }
}
