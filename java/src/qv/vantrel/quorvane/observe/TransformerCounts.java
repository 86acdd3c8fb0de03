package qv.vantrel.quorvane.observe;

import java.util.concurrent.atomic.LongAdder;

/**
 * What one registered transformer has done since it was added: the classes it was
 * handed, those it changed, its failures and the time its calls took. Made by
 * {@link Transformers#added}; the route counts every call of its transformer here.
 *
 * <p>Threads: the class-loading threads count, several at once, without contending:
 * each count is a {@link LongAdder}, which gives threads that collide cells of their
 * own instead of one field they would all update. A read sums the cells at that
 * moment: the counts are each exact once the calls have returned, not a snapshot
 * taken together.
 */
public final class TransformerCounts {
    private final String transformer;
    private final String route;
    private final LongAdder seen = new LongAdder();
    private final LongAdder changed = new LongAdder();
    private final LongAdder failures = new LongAdder();
    private final LongAdder nanos = new LongAdder();

    TransformerCounts(String transformer, String route) {
        this.transformer = transformer;
        this.route = route;
    }

    /**
     * Counts one call. No allocation once the adders have their cells.
     *
     * @param outcome {@link Outcome#CHANGED}, {@link Outcome#UNCHANGED} or {@link Outcome#FAILED}
     * @param elapsed how long the call took, in nanoseconds
     */
    public void record(int outcome, long elapsed) {
        seen.increment();
        if (outcome == Outcome.CHANGED) {
            changed.increment();
        } else if (outcome == Outcome.FAILED) {
            failures.increment();
        }
        nanos.add(elapsed);
    }

    /** The transformer's class name, as {@code Class.getName()} gives it. */
    public String transformer() {
        return transformer;
    }

    /** {@link Transformers#REMAP} or {@link Transformers#INSTRUMENTATION}. */
    public String route() {
        return route;
    }

    long classesSeen() {
        return seen.sum();
    }

    long classesChanged() {
        return changed.sum();
    }

    long failures() {
        return failures.sum();
    }

    long totalNanos() {
        return nanos.sum();
    }
}
