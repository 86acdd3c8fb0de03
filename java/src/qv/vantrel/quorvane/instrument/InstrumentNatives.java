package qv.vantrel.quorvane.instrument;

/**
 * The JVMTI calls behind {@link QuorvaneInstrumentation}, made in the native library
 * (src/instrument/InstrumentNatives.cpp, which javac -h gives these declarations and
 * constants). The library is loaded by {@code Quorvane}'s initialization, which this
 * class makes sure of. Each
 * throws the exception the {@code Instrumentation} interface names for a failure, and
 * {@link IllegalStateException} once this copy of Quorvane is detached.
 */
final class InstrumentNatives {
    static {
        // The public classes of this package may be reached before Quorvane.
        try {
            Class.forName(qv.vantrel.quorvane.Quorvane.class.getName(), true,
                    InstrumentNatives.class.getClassLoader());
        } catch (ClassNotFoundException e) {
            throw new ExceptionInInitializerError(e);
        }
    }

    /** What {@link #changeModule} changes. */
    static final int READS = 0;
    static final int EXPORTS = 1;
    static final int OPENS = 2;
    static final int USES = 3;
    static final int PROVIDES = 4;

    private InstrumentNatives() {
    }

    /**
     * The Instrumentation of this copy, made on the first call (its environments, the log's
     * start, one info line), the same object afterwards; see {@link HandOut}, which decides who
     * gets it.
     */
    static native QuorvaneInstrumentation instrumentation();

    /**
     * The JVM's input arguments, as {@code RuntimeMXBean.getInputArguments()} lists them; null
     * when the JVM was given none.
     */
    static native String[] vmArguments();

    /** Switches the class-file-load event of one of the two environments. */
    static native void setHookEnabled(boolean retransformable, boolean enabled);

    static native void retransformClasses(Class<?>[] classes);

    /**
     * The class files (each a byte[]) at the same index as their classes. An Object[]
     * rather than a byte[][]: the JVM would otherwise make the class byte[][], which
     * class loaders then report among their initiated classes.
     */
    static native void redefineClasses(Class<?>[] classes, Object[] definitions);

    static native boolean isModifiableClass(Class<?> type);

    static native Class<?>[] getAllLoadedClasses();

    static native Class<?>[] getInitiatedClasses(ClassLoader loader);

    static native long getObjectSize(Object object);

    static native void appendToClassLoaderSearch(String jar, boolean bootstrap);

    /** The prefixes of one environment's transformers, in their order. */
    static native void setNativeMethodPrefixes(String[] prefixes, boolean retransformable);

    static native boolean isModifiableModule(Module module);

    /** Every module of the VM, the unnamed module of each class loader included. */
    static native Module[] allModules();

    /**
     * One change of a module: READS (other: the module to read), EXPORTS and OPENS of
     * pkg (other: the module it goes to), USES (other: the service), PROVIDES (other:
     * the service, provider: its implementation).
     */
    static native void changeModule(int change, Module module, String pkg, Object other, Class<?> provider);

    /** Writes one warning line to Quorvane's log. */
    static native void logWarning(String line);

    /** Writes one info line to Quorvane's log. */
    static native void logInfo(String line);
}
