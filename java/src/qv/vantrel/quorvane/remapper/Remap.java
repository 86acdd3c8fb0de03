package qv.vantrel.quorvane.remapper;

import java.util.Objects;
import qv.vantrel.quorvane.observe.Outcome;
import qv.vantrel.quorvane.observe.Recorder;
import qv.vantrel.quorvane.observe.TransformerCounts;
import qv.vantrel.quorvane.observe.Transformers;

/**
 * The bridge from the native agent to the application's class transformer.
 *
 * <p>Register one {@link Transformer} with {@link #setTransformer}. The native agent
 * calls {@link #remap} for every class that passes its filters, on the thread that
 * loads the class, possibly on several threads at once. With no transformer
 * registered, classes load unchanged.
 *
 * <p>A transformer that throws does not break class loading: the class loads
 * unchanged, and the class name and the throwable go to the {@link FailureHandler}
 * (by default a short report on standard error), so that the failure is never lost.
 * When what it throws is an {@link InterruptedException}, the thread's interrupt
 * status is set again after the report, so that the code loading the class still
 * sees the interrupt.
 *
 * <p>Each call of the transformer is counted in the MXBean
 * {@link qv.vantrel.quorvane.management.TransformersMXBean qv.vantrel.quorvane:type=Transformers}
 * and, while a JDK Flight Recorder recording enables it, recorded as the event
 * {@code qv.vantrel.quorvane.ClassTransform}.
 */
public final class Remap {
    /** Rewrites one class file. */
    @FunctionalInterface
    public interface Transformer {
        /**
         * Returns the new class file for a class, or null to leave it unchanged. An empty
         * array also leaves it unchanged, as null does (the JVM would keep the class as
         * it is anyway), and is logged the same way.
         *
         * @param internalName the class's internal name, e.g. {@code com/example/Widget$Part}
         * @param classBytes a copy of the class file; it may be modified and returned
         * @return the replacement class file, or null to keep the class as it is
         * @throws Exception to leave the class unchanged and report the failure
         */
        byte[] transform(String internalName, byte[] classBytes) throws Exception;
    }

    /** Told about every transformer failure. */
    @FunctionalInterface
    public interface FailureHandler {
        /**
         * Reports that the transformer threw for a class, which then loads unchanged.
         *
         * @param internalName the class's internal name
         * @param failure what the transformer threw
         */
        void transformFailed(String internalName, Throwable failure);
    }

    /** The default handler: one line and the stack trace on standard error. */
    public static final FailureHandler PRINT_TO_STDERR = (internalName, failure) -> {
        // Plain concatenation, not the invokedynamic kind javac emits for '+': that
        // may have to link classes of java/lang/invoke, which may be the very ones
        // whose transformation failed.
        System.err.println("[Quorvane] transformer failed for ".concat(String.valueOf(internalName)).concat(": ")
                .concat(String.valueOf(failure)));
        failure.printStackTrace();
    };

    /** The transformer with its counts, published together: remap reads one field. */
    private static final class Installed {
        final Transformer transformer;
        final TransformerCounts counts;

        Installed(Transformer transformer, TransformerCounts counts) {
            this.transformer = transformer;
            this.counts = counts;
        }
    }

    private static volatile Installed installed;
    private static volatile FailureHandler failureHandler = PRINT_TO_STDERR;
    // Serializes setTransformer: each replaced transformer leaves the counts once.
    private static final Object SETTING = new Object();

    private Remap() {
    }

    /**
     * Registers the transformer, replacing any earlier one; null removes it.
     *
     * @param newTransformer the transformer, or null
     */
    public static void setTransformer(Transformer newTransformer) {
        synchronized (SETTING) {
            Installed replaced = installed;
            installed = newTransformer == null ? null
                    : new Installed(newTransformer, Transformers.added(newTransformer, Transformers.REMAP));
            if (replaced != null) {
                Transformers.removed(replaced.counts);
            }
        }
    }

    /**
     * Returns the registered transformer.
     *
     * @return the transformer, or null when none is registered
     */
    public static Transformer getTransformer() {
        Installed current = installed;
        return current != null ? current.transformer : null;
    }

    /**
     * Sets who hears of transformer failures; null restores {@link #PRINT_TO_STDERR}.
     *
     * @param handler the handler, or null
     */
    public static void setFailureHandler(FailureHandler handler) {
        failureHandler = handler != null ? handler : PRINT_TO_STDERR;
    }

    /**
     * Called by the native agent for each selected class; not meant for application code.
     *
     * @param name the class's internal name
     * @param classBytes a copy of the class file
     * @return the replacement class file, or null to leave the class unchanged
     */
    public static byte[] remap(String name, byte[] classBytes) {
        Installed current = installed;
        if (current == null) {
            return null;
        }
        Object event = Recorder.begin();
        long start = System.nanoTime();
        byte[] result;
        Throwable failure = null;
        try {
            result = current.transformer.transform(name, classBytes);
        } catch (Throwable thrown) {
            failure = thrown;
            result = null;
        }
        long elapsed = System.nanoTime() - start;
        // The VM keeps a class unchanged when handed an empty class file; say so, as for null.
        int outcome = failure != null ? Outcome.FAILED
                : result != null && result.length > 0 ? Outcome.CHANGED : Outcome.UNCHANGED;
        if (event != null) {
            int bytesIn = classBytes != null ? classBytes.length : 0;
            Recorder.remapped(event, current.counts, name, bytesIn, outcome == Outcome.CHANGED ? result.length : bytesIn,
                    outcome, failure);
        }
        current.counts.record(outcome, elapsed);
        if (failure != null) {
            report(name, failure);
            if (failure instanceof InterruptedException) {
                // Catching it cleared the thread's interrupt status; the code that
                // loads the class must still learn of the interrupt.
                Thread.currentThread().interrupt();
            }
            return null;
        }
        return outcome == Outcome.CHANGED ? result : null;
    }

    private static void report(String name, Throwable failure) {
        try {
            Objects.requireNonNull(failureHandler).transformFailed(name, failure);
        } catch (Throwable handlerFailure) {
            // A broken handler must not turn into a failed class load; keep both on record.
            try {
                handlerFailure.addSuppressed(failure);
                PRINT_TO_STDERR.transformFailed(name, handlerFailure);
            } catch (Throwable ignored) {
                // Nothing is left to report with (e.g. out of memory); the class loads unchanged.
            }
        }
    }
}
