package qv.vantrel.quorvane;

/** Finds and loads {@code libquorvane.so}. */
final class NativeLibrary {
    static final String NAME = "quorvane";

    private NativeLibrary() {
    }

    static void load() {
        System.loadLibrary(NAME);
    }
}
