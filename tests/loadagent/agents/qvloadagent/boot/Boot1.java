package qvloadagent.boot;

/** Packed alone into a Boot-Class-Path jar. */
public final class Boot1 {
    private Boot1() {
    }
}
