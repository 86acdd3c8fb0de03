/**
 * Quorvane: load-time class rewriting from inside the running application. The API is
 * {@link qv.vantrel.quorvane.Quorvane} (filters, start, retransformation, the
 * {@code Instrumentation}, agent jars, the log), {@link qv.vantrel.quorvane.remapper.Remap}
 * (the transformer) and {@link qv.vantrel.quorvane.management.TransformersMXBean} (what the
 * transformers do, over JMX); the packages {@code qv.vantrel.quorvane.instrument} (the
 * {@code Instrumentation}'s implementation) and {@code qv.vantrel.quorvane.observe} (the
 * counts and JDK Flight Recorder events) are not exported.
 */
module qv.vantrel.quorvane {
    // Quorvane.instrumentation() hands out a java.lang.instrument.Instrumentation.
    requires transitive java.instrument;

    // What the transformers do, shown to JDK Flight Recorder and JMX when those modules
    // are there; Quorvane works without them (a linked image may leave them out).
    requires static jdk.jfr;
    requires static java.management;

    exports qv.vantrel.quorvane;
    exports qv.vantrel.quorvane.remapper;
    // The Transformers MXBean's interface and its data: JMX reads them, and so may clients.
    exports qv.vantrel.quorvane.management;
}
