package qvloadagent.boot;

/** Packed alone into a Boot-Class-Path jar. */
public final class Boot2 {
    private Boot2() {
    }
}
