package qvloadagent.fix;

/** Loaded after an agent failed: its transformer still sees it. */
public final class AfterFailure {
    private AfterFailure() {
    }
}
