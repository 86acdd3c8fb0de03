package qv.vantrel.quorvane;

import java.io.Serializable;
import java.util.List;

/**
 * Thrown by {@link Quorvane#retransform} and {@link Quorvane#retransformLoaded} when the
 * JVM refused to retransform some of the classes. Every other class was retransformed
 * before this was thrown; {@link #failures()} says which classes were refused and why.
 *
 * <p>The usual reasons: the class cannot be modified at all (arrays, primitives, hidden
 * classes such as lambdas), or the transformer's new class file changes what
 * retransformation must keep (it adds or removes a method or field, changes the class
 * hierarchy or modifiers), or is not a valid class file. Each refusal is also logged at
 * error.
 */
public final class RetransformException extends RuntimeException {
    private static final long serialVersionUID = 1L;

    /** How many refusals the message names; failures() has them all. */
    private static final int NAMED_IN_MESSAGE = 3;

    /**
     * One class the JVM refused to retransform.
     *
     * @param refusedClass the class, which keeps the definition it had
     * @param reason the JVM's reason as its JVMTI error name, e.g.
     *     {@code JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_ADDED}
     */
    public record Failure(Class<?> refusedClass, String reason) implements Serializable {
        private static final long serialVersionUID = 1L;
    }

    /** The refusals; an unmodifiable list, itself serializable. */
    private final List<Failure> failures;
    private final int retransformed;

    RetransformException(List<Failure> failures, int retransformed) {
        super(message(failures, retransformed));
        this.failures = List.copyOf(failures);
        this.retransformed = retransformed;
    }

    /**
     * Returns the classes the JVM refused, each with its reason.
     *
     * @return one entry per refused class, never empty
     */
    public List<Failure> failures() {
        return failures;
    }

    /**
     * Returns how many classes of the same call were retransformed.
     *
     * @return the number of classes that got their new definition
     */
    public int retransformed() {
        return retransformed;
    }

    private static String message(List<Failure> failures, int retransformed) {
        StringBuilder text = new StringBuilder();
        text.append(failures.size()).append(" of ").append(failures.size() + retransformed)
                .append(" classes could not be retransformed: ");
        for (int i = 0; i < failures.size() && i < NAMED_IN_MESSAGE; i++) {
            Failure failure = failures.get(i);
            text.append(i == 0 ? "" : ", ").append(failure.refusedClass().getName())
                    .append(" (").append(failure.reason()).append(')');
        }
        if (failures.size() > NAMED_IN_MESSAGE) {
            text.append(", and ").append(failures.size() - NAMED_IN_MESSAGE).append(" more");
        }
        return text.toString();
    }
}
