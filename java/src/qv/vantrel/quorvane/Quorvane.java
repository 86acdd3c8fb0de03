package qv.vantrel.quorvane;

/**
 * Entry point of the Quorvane native agent: load-time class rewriting from inside
 * the running application.
 *
 * <p>Loading this class loads the native library {@code libquorvane.so}: from
 * {@code java.library.path} when it is there, otherwise the copy inside quorvane.jar for
 * this platform (Linux on x86-64 or aarch64); an {@link UnsatisfiedLinkError} names the
 * platform and what was looked for when neither fits. On JDK 24 and later, allow native access to avoid the JVM's
 * warning: {@code --enable-native-access=ALL-UNNAMED} with the jar on the class path,
 * {@code --enable-native-access=qv.vantrel.quorvane} with it on the module path, or
 * {@code Enable-Native-Access: ALL-UNNAMED} in the manifest of an application started
 * with {@code java -jar}.
 *
 * <p>Set the filters, register a transformer with
 * {@link qv.vantrel.quorvane.remapper.Remap#setTransformer}, then call
 * {@link #initNative()}: from then on every class the JVM loads, redefines or
 * retransforms whose internal name passes the filters is handed to the transformer,
 * and the bytes it returns replace the class file.
 *
 * <pre>{@code
 * Quorvane.addInclude("com/vendor/");               // a package tree
 * Quorvane.addExclude("com/vendor/License");        // and its nested classes
 * Remap.setTransformer((name, bytes) -> rewrite(bytes));
 * if (!Quorvane.initNative()) { ... see libagent.log ... }
 * }</pre>
 *
 * <p>Filter entries are class internal names ({@code com/example/Widget}, which also
 * covers its nested classes {@code com/example/Widget$Part}) or package prefixes ending
 * in {@code '/'} ({@code com/example/}, which covers every class below it). Excludes
 * win over includes; with no include, nothing is transformed. Entries are compared
 * byte for byte and never converted from dotted form. Classes of this library's own
 * package {@code qv/vantrel/quorvane/} are never transformed.
 *
 * <p>All methods may be called from any thread at any time; filter edits take effect
 * for the next class that loads.
 */
public final class Quorvane {
    static {
        NativeLibrary.load();
    }

    private Quorvane() {
    }

    /**
     * Attaches the library to the JVM tool interface and starts transforming classes.
     * Messages go to standard output and to {@code libagent.log} in the working
     * directory. Calling it again is harmless: classes still pass through the
     * transformer once.
     *
     * @return true when the library is active; false when a step failed (the log says
     *     which), in which case classes keep loading unchanged
     */
    public static native boolean initNative();

    /**
     * Adds an include entry.
     *
     * @param name a class internal name or a package prefix ending in {@code '/'}
     * @return false only when {@code name} is null or could not be read
     */
    public static native boolean addInclude(String name);

    /**
     * Adds an exclude entry; excludes win over includes.
     *
     * @param name a class internal name or a package prefix ending in {@code '/'}
     * @return false only when {@code name} is null or could not be read
     */
    public static native boolean addExclude(String name);

    /**
     * Removes an include entry; removing an absent entry changes nothing.
     *
     * @param name the entry as it was added
     * @return false only when {@code name} is null or could not be read
     */
    public static native boolean removeInclude(String name);

    /**
     * Removes an exclude entry; removing an absent entry changes nothing.
     *
     * @param name the entry as it was added
     * @return false only when {@code name} is null or could not be read
     */
    public static native boolean removeExclude(String name);

    /** Removes every include entry, so that no class is transformed. */
    public static native void clearIncludes();

    /** Removes every exclude entry. */
    public static native void clearExcludes();
}
