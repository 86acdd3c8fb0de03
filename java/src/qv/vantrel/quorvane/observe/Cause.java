package qv.vantrel.quorvane.observe;

import java.util.Arrays;
import java.util.HashSet;
import java.util.Set;

/**
 * Why a transformer is called: a class loading, or a loaded class being redefined or
 * retransformed. The VM's class-file-load event names the class being redefined (null
 * while a class loads) but not which of the two asked for it, and Remap's upcall is not
 * even given that class. So Quorvane's own calls that change loaded classes mark their
 * thread with the classes they change ({@link #enter}), and the routes read the mark
 * only when an event is to be recorded:
 *
 * <ul>
 * <li>the Instrumentation's route: a class with no class being redefined loads; one the
 * environment without retransformation sees is redefined (the VM shows it no
 * retransformation); otherwise the mark decides, and without one (another agent's call,
 * through the JDK's {@code Instrumentation} say) the frame that called into the VM does:
 * {@code redefineClasses0} of the JDK's {@code Instrumentation} or Quorvane's
 * {@code redefineClasses} redefine, anything else retransforms;</li>
 * <li>Remap's route: the mark decides for the classes it names; every other class
 * loads. A redefinition or retransformation that another agent starts shows as a load
 * there: Remap's upcall carries no sign of it, and looking at the caller's frame for
 * every class would cost more than the event itself.</li>
 * </ul>
 *
 * <p>A class the VM loads while a marked call runs (one a transformer uses, say) is not
 * one the mark names, so it shows as a load. Threads: the mark is the thread's own.
 */
public final class Cause {
    /** A class loads (defined for the first time). */
    public static final int LOAD = 0;
    /** A loaded class is redefined: new bytes given, every transformer sees them. */
    public static final int REDEFINE = 1;
    /** A loaded class is retransformed: its original bytes, retransformable transformers only. */
    public static final int RETRANSFORM = 2;

    private static final String[] NAMES = {"load", "redefine", "retransform"};

    // The JDK's java.lang.instrument native and Quorvane's (of any copy) that redefine.
    private static final Set<String> REDEFINERS = Set.of("sun.instrument.InstrumentationImpl.redefineClasses0",
            "qv.vantrel.quorvane.instrument.InstrumentNatives.redefineClasses");
    private static final String TRANSFORM_UPCALL = "qv.vantrel.quorvane.instrument.TransformerManager.transform";
    private static final StackWalker STACK = StackWalker.getInstance();

    private static final ThreadLocal<Mark> MARK = new ThreadLocal<>();

    /** The classes one call of this thread redefines or retransforms, and which of the two. */
    public static final class Mark {
        private final int cause;
        private final Class<?>[] classes;
        // Made on the first question, only while an event is recorded.
        private Set<Class<?>> classSet;
        private Set<String> names;

        private Mark(int cause, Class<?>[] classes) {
            this.cause = cause;
            this.classes = classes;
        }

        private boolean names(Class<?> type) {
            if (classSet == null) {
                classSet = new HashSet<>(Arrays.asList(classes));
            }
            return classSet.contains(type);
        }

        private boolean names(String internalName) {
            if (names == null) {
                names = new HashSet<>();
                for (Class<?> type : classes) {
                    names.add(type.getName().replace('.', '/'));
                }
            }
            return names.contains(internalName);
        }
    }

    private Cause() {
    }

    /**
     * Marks this thread, for a call that redefines or retransforms classes; the caller
     * hands what it returns to {@link #leave} when the call is over, also when it throws.
     *
     * @param cause {@link #REDEFINE} or {@link #RETRANSFORM}
     * @param classes the classes the call changes
     * @return the mark of an enclosing call on this thread, or null
     */
    public static Mark enter(int cause, Class<?>[] classes) {
        Mark enclosing = MARK.get();
        MARK.set(new Mark(cause, classes));
        return enclosing;
    }

    /**
     * Ends the mark {@link #enter} set, putting back the enclosing one.
     *
     * @param enclosing what {@link #enter} returned
     */
    public static void leave(Mark enclosing) {
        if (enclosing == null) {
            MARK.remove();
        } else {
            MARK.set(enclosing);
        }
    }

    /** Why Remap's transformer is called for the class of that internal name. */
    static int ofRemap(String internalName) {
        Mark mark = MARK.get();
        return mark != null && internalName != null && mark.names(internalName) ? mark.cause : LOAD;
    }

    /** Why a transformer of the Instrumentation is called, in the environment of that kind. */
    static int ofInstrumentation(boolean retransformable, Class<?> redefined) {
        if (redefined == null) {
            return LOAD;
        }
        if (!retransformable) {
            return REDEFINE;
        }
        Mark mark = MARK.get();
        if (mark != null && mark.names(redefined)) {
            return mark.cause;
        }
        return fromCaller();
    }

    static String name(int cause) {
        return NAMES[cause];
    }

    // The Java frame below the transformers' upcall is the native that called into the VM.
    private static int fromCaller() {
        return STACK.walk(frames -> frames
                .dropWhile(frame -> !TRANSFORM_UPCALL.equals(frame.getClassName() + "." + frame.getMethodName()))
                .skip(1)
                .findFirst()
                .filter(frame -> REDEFINERS.contains(frame.getClassName() + "." + frame.getMethodName()))
                .map(frame -> REDEFINE)
                .orElse(RETRANSFORM));
    }
}
