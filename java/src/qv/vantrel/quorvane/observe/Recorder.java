package qv.vantrel.quorvane.observe;

/**
 * The routes' side of the {@code qv.vantrel.quorvane.ClassTransform} event: each call
 * of a transformer asks {@link #begin()} first, and hands what it got to
 * {@link #remapped} or {@link #transformed} when that was not null.
 *
 * <p>Until JFR has started (see {@link JfrStart}), {@link #begin()} reads one flag; after,
 * while no recording has the event enabled, it checks the event's state: either way it
 * returns null, nothing is allocated and nothing else runs. Without the module jdk.jfr
 * (an image linked without it, or a module path that leaves it out) no class of
 * jdk.jfr is ever touched.
 *
 * <p>Threads: any; every event is the calling thread's own.
 */
public final class Recorder {
    /** Whether this copy may use jdk.jfr: its module is there and this one reads it. */
    static final boolean JFR = Modules.readable("jdk.jfr");

    /** Set once JFR has started and this copy's event classes are loaded; cleared by detach. */
    static volatile boolean started;

    private Recorder() {
    }

    /**
     * Begins the event of one transformer call.
     *
     * @return the event, as an Object (its class is jdk.jfr's), or null when none is recorded
     */
    public static Object begin() {
        return started ? JfrEvents.begin() : null;
    }

    /**
     * Ends and commits (when past the recording's threshold) the event of a call of
     * Remap's transformer.
     *
     * @param event what {@link #begin()} returned, not null
     * @param counts the transformer's counts, which name it
     * @param internalName the class's internal name
     * @param bytesIn the length of the class file the transformer was given
     * @param bytesOut the length of the one the class keeps: the result's, or bytesIn
     * @param outcome an {@link Outcome}
     * @param failure what the transformer threw, or null
     */
    public static void remapped(Object event, TransformerCounts counts, String internalName, int bytesIn, int bytesOut,
            int outcome, Throwable failure) {
        if (JfrEvents.end(event)) {
            JfrEvents.commit(event, counts, internalName, Cause.ofRemap(internalName), bytesIn, bytesOut, outcome,
                    failure);
        }
    }

    /**
     * The same for a transformer of the Instrumentation.
     *
     * @param retransformable whether the hook of the environment for retransformable transformers called
     * @param redefined the class being redefined or retransformed, null while the class loads
     */
    public static void transformed(Object event, TransformerCounts counts, String internalName,
            boolean retransformable, Class<?> redefined, int bytesIn, int bytesOut, int outcome, Throwable failure) {
        if (JfrEvents.end(event)) {
            JfrEvents.commit(event, counts, internalName, Cause.ofInstrumentation(retransformable, redefined), bytesIn,
                    bytesOut, outcome, failure);
        }
    }
}
