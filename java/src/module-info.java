/**
 * Quorvane: load-time class rewriting from inside the running application. The API is
 * {@link qv.vantrel.quorvane.Quorvane} (filters, start, retransformation, the
 * {@code Instrumentation}, agent jars, the log), {@link qv.vantrel.quorvane.remapper.Remap}
 * (the transformer) and {@link qv.vantrel.quorvane.management.TransformersMXBean} (what the
 * transformers do, over JMX); the packages {@code qv.vantrel.quorvane.instrument} (the
 * {@code Instrumentation}'s implementation, exported only to quorvane-junit's module
 * {@code qv.vantrel.quorvane.junit}) and {@code qv.vantrel.quorvane.observe} (the counts and
 * JDK Flight Recorder events) are not exported.
 */
// The one qualified export names quorvane-junit's module, which is built after this one.
@SuppressWarnings("module")
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
    // To the test run's listener alone, for its line in the log (CompanionLog).
    exports qv.vantrel.quorvane.instrument to qv.vantrel.quorvane.junit;
}
