package qvinst.other;

import java.lang.instrument.Instrumentation;
import java.lang.invoke.MethodHandles;
import java.lang.invoke.MethodType;
import java.lang.reflect.InvocationTargetException;

/**
 * Calls {@code Quorvane.instrumentation()} from a module that does not require Quorvane's:
 * by core reflection and by a method handle, the ways that hide a caller from a check that
 * looks at the frame below it.
 */
public final class Other {
    private static final String QUORVANE = "qv.vantrel.quorvane.Quorvane";

    private Other() {
    }

    public static Object reflective() throws Throwable {
        try {
            return Class.forName(QUORVANE).getMethod("instrumentation").invoke(null);
        } catch (InvocationTargetException e) {
            throw e.getCause();
        }
    }

    /** Deep reflection into Quorvane's internals, past the check: its native, made accessible. */
    public static Object deep() throws Throwable {
        java.lang.reflect.Method natives = Class.forName("qv.vantrel.quorvane.instrument.InstrumentNatives")
                .getDeclaredMethod("instrumentation");
        natives.setAccessible(true);
        return natives.invoke(null);
    }

    /** The public agent loader of Quorvane's internal package, called directly. */
    public static Object internalApi() throws Throwable {
        return Class.forName("qv.vantrel.quorvane.instrument.AgentLoader")
                .getMethod("load", java.nio.file.Path.class, String.class)
                .invoke(null, java.nio.file.Path.of(System.getProperty("qvinst.agent")), "by-internal-api");
    }

    public static Object handle() throws Throwable {
        return MethodHandles.publicLookup()
                .findStatic(Class.forName(QUORVANE), "instrumentation", MethodType.methodType(Instrumentation.class))
                .invoke();
    }
}
