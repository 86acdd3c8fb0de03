/**
 * Quorvane: load-time class rewriting from inside the running application. The API is
 * {@link qv.vantrel.quorvane.Quorvane} (filters, start, retransformation, the
 * {@code Instrumentation}, agent jars, the log) and {@link qv.vantrel.quorvane.remapper.Remap}
 * (the transformer); the package {@code qv.vantrel.quorvane.instrument} is the
 * {@code Instrumentation}'s implementation, not exported.
 */
module qv.vantrel.quorvane {
    // Quorvane.instrumentation() hands out a java.lang.instrument.Instrumentation.
    requires transitive java.instrument;

    exports qv.vantrel.quorvane;
    exports qv.vantrel.quorvane.remapper;
}
