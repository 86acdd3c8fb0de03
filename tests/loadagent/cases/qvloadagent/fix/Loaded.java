package qvloadagent.fix;

/** Loaded once the agents are in place. */
public final class Loaded {
    private Loaded() {
    }

    public static String name() {
        return "loaded";
    }
}
