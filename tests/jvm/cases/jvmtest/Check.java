package jvmtest;

import java.time.LocalDateTime;
import java.time.temporal.ChronoUnit;
import java.util.Objects;

/** Assertions, and how a case reports: exit 0 when it passes, 1 with the reason when not. */
final class Check {
    /** When the case started, to the second: every log line must be stamped at or after it. */
    static final LocalDateTime STARTED = LocalDateTime.now().truncatedTo(ChronoUnit.SECONDS);

    interface Body {
        void run(String[] args) throws Exception;
    }

    private Check() {
    }

    static void run(String name, String[] args, Body body) {
        String title = args.length == 0 ? name : name + " " + String.join(" ", args);
        try {
            body.run(args);
        } catch (Throwable failure) {
            System.out.flush();
            String reason = failure instanceof AssertionError ? failure.getMessage() : failure.toString();
            System.err.println("FAIL " + title + ": " + reason);
            failure.printStackTrace();
            System.exit(1);
        }
        System.out.println("PASS " + title);
        // Threads a case left behind must not keep the JVM alive.
        System.exit(0);
    }

    static void that(boolean condition, String format, Object... args) {
        if (!condition) {
            throw new AssertionError(String.format(format, args));
        }
    }

    static void equal(Object expected, Object actual, String what) {
        if (!Objects.equals(expected, actual)) {
            throw new AssertionError(what + ": expected <" + expected + "> but was <" + actual + ">");
        }
    }

    interface Call {
        void run() throws Exception;
    }

    /** Runs call, which must throw a T, and returns what it threw. */
    static <T extends Throwable> T raises(Class<T> type, Call call, String what) {
        try {
            call.run();
        } catch (Throwable thrown) {
            if (type.isInstance(thrown)) {
                return type.cast(thrown);
            }
            throw new AssertionError(what + ": expected " + type.getName() + " but got " + thrown, thrown);
        }
        throw new AssertionError(what + ": expected " + type.getName() + ", nothing was thrown");
    }
}
