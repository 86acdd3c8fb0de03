package qv.vantrel.quorvane.observe;

/** How one transformer call ended, as the routes report it and the events name it. */
public final class Outcome {
    /** The transformer returned a class file: the class is defined from it (or the next transformer's input). */
    public static final int CHANGED = 0;
    /** The transformer returned null (on Remap's route, or an empty array): the class stays as it was. */
    public static final int UNCHANGED = 1;
    /** The transformer threw: its result is dropped. */
    public static final int FAILED = 2;

    private static final String[] NAMES = {"changed", "unchanged", "failed"};

    private Outcome() {
    }

    static String name(int outcome) {
        return NAMES[outcome];
    }
}
