package qv.vantrel.quorvane.management;

import javax.management.ConstructorParameters;

/**
 * What one transformer has done since it was added: one entry of
 * {@link TransformersMXBean#getTransformers()}, seen by JMX clients as composite data
 * with one item per property.
 */
public final class TransformerInfo {
    private final String transformer;
    private final String route;
    private final long classesSeen;
    private final long classesChanged;
    private final long failures;
    private final long totalNanos;

    /**
     * Made by Quorvane, and by JMX when a proxy reads the attribute.
     *
     * @param transformer the transformer's class name
     * @param route {@code remap} or {@code instrumentation}
     * @param classesSeen the calls of the transformer: classes it was given
     * @param classesChanged the calls that returned a class file
     * @param failures the calls that threw
     * @param totalNanos the time all its calls took, in nanoseconds
     */
    // JMX alone reads the annotation; without java.management it is simply not there.
    @SuppressWarnings("exports")
    @ConstructorParameters({"transformer", "route", "classesSeen", "classesChanged", "failures", "totalNanos"})
    public TransformerInfo(String transformer, String route, long classesSeen, long classesChanged, long failures,
            long totalNanos) {
        this.transformer = transformer;
        this.route = route;
        this.classesSeen = classesSeen;
        this.classesChanged = classesChanged;
        this.failures = failures;
        this.totalNanos = totalNanos;
    }

    /**
     * The transformer's class name, as {@code Class.getName()} gives it (for a lambda, its
     * hidden class's name).
     *
     * @return the name
     */
    public String getTransformer() {
        return transformer;
    }

    /**
     * Which route calls it: {@code remap} for the transformer set on {@code Remap},
     * {@code instrumentation} for a {@code ClassFileTransformer} of Quorvane's
     * {@code Instrumentation} (or of an agent started by {@code Quorvane.loadAgent}).
     *
     * @return the route
     */
    public String getRoute() {
        return route;
    }

    /**
     * How many times it was called: the classes it was given, loading, redefined or
     * retransformed (a class given twice counts twice).
     *
     * @return the count
     */
    public long getClassesSeen() {
        return classesSeen;
    }

    /**
     * The calls that returned a class file (on Remap's route, a non-empty one), whether or
     * not its bytes differ from those it was given.
     *
     * @return the count
     */
    public long getClassesChanged() {
        return classesChanged;
    }

    /**
     * The calls that threw.
     *
     * @return the count
     */
    public long getFailures() {
        return failures;
    }

    /**
     * The time all its calls took, in nanoseconds, as {@code System.nanoTime()} measures it.
     *
     * @return the time
     */
    public long getTotalNanos() {
        return totalNanos;
    }

    @Override
    public String toString() {
        return transformer + " (" + route + "): " + classesSeen + " seen, " + classesChanged + " changed, " + failures
                + " failed, " + totalNanos + " ns";
    }
}
