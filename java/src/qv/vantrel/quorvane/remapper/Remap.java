package qv.vantrel.quorvane.remapper;

import java.util.Objects;

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

    private static volatile Transformer transformer;
    private static volatile FailureHandler failureHandler = PRINT_TO_STDERR;

    private Remap() {
    }

    /**
     * Registers the transformer, replacing any earlier one; null removes it.
     *
     * @param newTransformer the transformer, or null
     */
    public static void setTransformer(Transformer newTransformer) {
        transformer = newTransformer;
    }

    /**
     * Returns the registered transformer.
     *
     * @return the transformer, or null when none is registered
     */
    public static Transformer getTransformer() {
        return transformer;
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
        Transformer current = transformer;
        if (current == null) {
            return null;
        }
        byte[] result;
        try {
            result = current.transform(name, classBytes);
        } catch (Throwable failure) {
            report(name, failure);
            if (failure instanceof InterruptedException) {
                // Catching it cleared the thread's interrupt status; the code that
                // loads the class must still learn of the interrupt.
                Thread.currentThread().interrupt();
            }
            return null;
        }
        // The VM keeps a class unchanged when handed an empty class file; say so, as for null.
        return result != null && result.length == 0 ? null : result;
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
