package qvagents.fix;

/** Loaded only once an agent is installed: it changes as it loads. */
public final class LaterGreeter {
    private LaterGreeter() {
    }

    public static String greet() {
        return "hello";
    }
}
