package qv.vantrel.quorvane;

/**
 * Entry point of the Quorvane native agent: load-time class rewriting from inside
 * the running application.
 *
 * <p>Loading this class loads the native library {@code libquorvane.so}: from
 * {@code java.library.path} when it is there, otherwise the linux-x86_64 copy inside
 * quorvane.jar; an {@link UnsatisfiedLinkError} names the platform and what was looked
 * for when neither fits. On JDK 24 and later, allow native access to avoid the JVM's
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
 * <p>The log goes to standard output and to {@code libagent.log} at level trace unless
 * told otherwise, by system properties read when this class initializes or by
 * {@link #setLogLevel}, {@link #setLogFile} and {@link #setLogConsole}. A quiet
 * production set-up: {@code -Dqv.vantrel.quorvane.log.level=info
 * -Dqv.vantrel.quorvane.log.console=off}. A bad property value never stops the
 * application: the default stays and the log's first lines say what was ignored.
 *
 * <p>All methods may be called from any thread at any time; filter edits take effect
 * for the next class that loads.
 */
public final class Quorvane {
    static {
        NativeLibrary.load();
        LogSettings.applyProperties();
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
     * Stops this copy of the library for good. Each class loader that loads
     * quorvane.jar (a plugin host's plugin loaders, say) gets a copy of its own that sees
     * every class the JVM loads; a plugin that is unloaded should detach its copy first.
     * From this call on, the copy's class-load hook does nothing and the JVM no longer
     * calls it; once no hook of this copy is still running a transformation on another
     * thread, the library lets go of this copy's classes, so that their class loader can
     * be collected. Afterwards {@link #initNative()} returns false. Calling it again, or
     * before {@code initNative()}, is harmless.
     *
     * <p>Classes this copy rewrote stay rewritten. To give them their original code back
     * first, remove the filters that select them and retransform them before detaching.
     */
    public static native void detach();

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

    /**
     * Sets which log lines are written, at any time: before {@link #initNative()} it
     * decides how the log starts, after it it applies from the next line on. From the
     * most to the least detailed: {@code trace} (the default: one line for every class
     * loaded after {@code initNative()}), {@code debug} (filter edits),
     * {@code info} (start-up steps and one line per class replaced), {@code warning}
     * (also {@code warn}: the transformer gave nothing), {@code error}, and {@code off}.
     * Case does not matter. Overrides the system property
     * {@code qv.vantrel.quorvane.log.level}.
     *
     * @param level one of the names above
     * @throws IllegalArgumentException if {@code level} is none of them
     * @throws NullPointerException if {@code level} is null
     */
    public static void setLogLevel(String level) {
        LogSettings.setLevel(level);
    }

    /**
     * Sets the log file, before the log starts (the first {@link #initNative()}): a
     * path, relative to the working directory, whose folder must exist; the file is
     * emptied when the log starts. {@code null} or {@code ""} means no file at all:
     * none is created or emptied. The default is {@code libagent.log}. Overrides the
     * system property {@code qv.vantrel.quorvane.log.file}.
     *
     * @param path the file, or null or empty for none
     * @throws IllegalStateException if the log has already started (the message says
     *     what it writes to)
     * @throws IllegalArgumentException if {@code path} contains a NUL character
     */
    public static void setLogFile(String path) {
        LogSettings.setFile(path);
    }

    /**
     * Sets where the log's console lines go, before the log starts (the first
     * {@link #initNative()}): {@code stdout} (the default), {@code stderr}, or
     * {@code off}; case does not matter. Overrides the system property
     * {@code qv.vantrel.quorvane.log.console}.
     *
     * @param console one of the names above
     * @throws IllegalStateException if the log has already started (the message says
     *     what it writes to)
     * @throws IllegalArgumentException if {@code console} is none of the names
     * @throws NullPointerException if {@code console} is null
     */
    public static void setLogConsole(String console) {
        LogSettings.setConsole(console);
    }

    // Hands log settings to the library (see LogSettings); null when applied, else
    // the UTF-8 bytes of what the log writes to.
    static native byte[] configureLog(int level, byte[] file, int console, byte[] problem);
}
