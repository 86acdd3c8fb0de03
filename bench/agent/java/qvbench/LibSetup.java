package qvbench;

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
}
