package qv.vantrel.quorvane.instrument;

/**
 * Lines into this copy's log from Quorvane's companion modules (quorvane-junit, which starts
 * a test run's agents), to which module-info exports this package and to no other: the log
 * has no public way in.
 *
 * <p>Threads: any, once the log has started (an {@code Instrumentation} handed out or an
 * agent started); the native side writes each line whole.
 */
public final class CompanionLog {
    private CompanionLog() {
    }

    /**
     * Writes one info line, tagged as every line of Quorvane's.
     *
     * @param message the line without its tag
     */
    public static void info(String message) {
        InstrumentNatives.logInfo("[Quorvane] " + message);
    }
}
