package qvloadagent.real;

/** Loaded only once the agent has started. */
public final class LaterGreeter {
    private LaterGreeter() {
    }

    public static String greet() {
        return "hello";
    }
}
