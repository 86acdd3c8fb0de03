package qvbench;

import qv.vantrel.quorvane.remapper.Remap;

/**
 * What a JVM's first transformer costs: the wall time of the first
 * {@code Remap.setTransformer} in a fresh JVM that has used neither JMX nor JFR, which
 * registers the Transformers MXBean (creating the platform MBean server) and listens for
 * JFR. Prints {@code @@ <nanoseconds>}. Run by bench/agent/first-transformer.sh.
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
