package qvloadagent.agents;

/** Packed into every refused jar: loadable only if one of them was appended. */
public final class Marker {
    private Marker() {
    }
}
