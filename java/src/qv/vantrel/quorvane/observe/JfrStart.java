package qv.vantrel.quorvane.observe;

import jdk.jfr.FlightRecorder;
import jdk.jfr.FlightRecorderListener;

/**
 * Waits for JDK Flight Recorder to start before touching anything else of it: loading a
 * class of an event initializes much of JFR (on JDK 25, a quarter of a second, in a
 * JVM that may never record), while listening for its start costs next to nothing. JFR
 * starts with the first recording (or at once, when it has started already); only then
 * are this copy's event classes loaded and its statistics hooked, on the thread that
 * started it, outside any class's transformation.
 *
 * <p>Threads: JFR calls the listener on the thread that starts it (holding its own lock);
 * {@code LOCK} keeps a start that comes with or after {@link #stop()} from hooking the
 * statistics of a detached copy. JFR's methods that take JFR's lock are called outside
 * {@code LOCK}, or from within its callback, never the other way round.
 */
final class JfrStart {
    private static final Object LOCK = new Object();
    private static boolean stopped;  // guarded by LOCK

    private static final FlightRecorderListener LISTENER = new FlightRecorderListener() {
        @Override
        public void recorderInitialized(FlightRecorder recorder) {
            synchronized (LOCK) {
                if (!stopped) {
                    JfrEvents.start();
                    Recorder.started = true;
                }
            }
        }
    };

    private JfrStart() {
    }

    static void listen() {
        FlightRecorder.addListener(LISTENER);
    }

    /** Stops listening, and stops the statistics when they were started. */
    static void stop() {
        FlightRecorder.removeListener(LISTENER);
        synchronized (LOCK) {
            stopped = true;
            if (Recorder.started) {
                Recorder.started = false;
                JfrEvents.stop();
            }
        }
    }
}
