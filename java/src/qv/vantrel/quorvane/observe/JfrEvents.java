package qv.vantrel.quorvane.observe;

import jdk.jfr.FlightRecorder;

/**
 * This copy's events: the per-call event and the periodic statistics. Loaded once JFR has
 * started ({@link JfrStart}), so that a JVM that never records never loads them.
 *
 * <p>Threads: any. The periodic hook runs on JFR's own thread.
 */
final class JfrEvents {
    // Asked for the event's state on every call: isEnabled() reads the event type's
    // state, not the instance's, so one shared instance serves every thread.
    private static final ClassTransformEvent PROBE = new ClassTransformEvent();

    private static final Runnable STATISTICS = JfrEvents::emitStatistics;

    private JfrEvents() {
    }

    static Object begin() {
        if (!PROBE.isEnabled()) {
            return null;
        }
        ClassTransformEvent event = new ClassTransformEvent();
        event.begin();
        return event;
    }

    /** Ends the event; true when it is to be committed (enabled, and past the threshold). */
    static boolean end(Object event) {
        ClassTransformEvent transform = (ClassTransformEvent) event;
        transform.end();
        return transform.shouldCommit();
    }

    static void commit(Object event, TransformerCounts counts, String internalName, int cause, int bytesIn,
            int bytesOut, int outcome, Throwable failure) {
        ClassTransformEvent transform = (ClassTransformEvent) event;
        transform.className = internalName;
        transform.transformer = counts.transformer();
        transform.route = counts.route();
        transform.cause = Cause.name(cause);
        transform.bytesIn = bytesIn;
        transform.bytesOut = bytesOut;
        transform.outcome = Outcome.name(outcome);
        transform.failure = failure != null ? failure.getClass().getName() : null;
        transform.commit();
    }

    /** Starts the statistics event: JFR emits it at the end of each chunk of a recording that enables it. */
    static void start() {
        FlightRecorder.addPeriodicEvent(TransformerStatisticsEvent.class, STATISTICS);
    }

    /** Stops it, and lets go of this copy's classes. */
    static void stop() {
        FlightRecorder.removePeriodicEvent(STATISTICS);
    }

    private static void emitStatistics() {
        for (TransformerCounts counts : Transformers.live()) {
            TransformerStatisticsEvent statistics = new TransformerStatisticsEvent();
            statistics.transformer = counts.transformer();
            statistics.route = counts.route();
            statistics.classesSeen = counts.classesSeen();
            statistics.classesChanged = counts.classesChanged();
            statistics.failures = counts.failures();
            statistics.totalTime = counts.totalNanos();
            statistics.commit();
        }
    }
}
