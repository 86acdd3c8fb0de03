package qvloadagent.fix;

/** Loaded after a transformer is removed. */
public final class LoadedToo {
    private LoadedToo() {
    }
}
