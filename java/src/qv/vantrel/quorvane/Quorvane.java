package qv.vantrel.quorvane;

import java.util.ArrayList;
import java.util.LinkedHashSet;
import java.util.List;
import java.util.Objects;
import java.util.Set;

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
 * <p>The log goes to standard output and to {@code libagent.log} at level trace unless
 * told otherwise, by system properties read when this class initializes or by
 * {@link #setLogLevel}, {@link #setLogFile}, {@link #setLogConsole},
 * {@link #setLogMaxSize}, {@link #setLogMaxFiles} and {@link #setLogFlush}. A quiet
 * production set-up: {@code -Dqv.vantrel.quorvane.log.level=info
 * -Dqv.vantrel.quorvane.log.console=off -Dqv.vantrel.quorvane.log.flush=buffered}. A bad
 * property value never stops the application: the default stays and the log's first lines
 * say what was ignored.
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
     * first, remove the filters that select them ({@link #clearIncludes()}) and call
     * {@link #retransformLoaded()} before detaching.
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
     * Case does not matter. With the level {@code off} when the log starts, no file is
     * created or emptied, and a level raised later writes to the console alone. Overrides
     * the system property {@code qv.vantrel.quorvane.log.level}.
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
     * emptied when the log starts (rotated away with {@link #setLogMaxSize a size limit}).
     * A file that cannot be opened leaves one error line, on the console, or on standard
     * error when the console is off. {@code null} or {@code ""} means no file at all:
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

    /**
     * Limits the size of the log file, before the log starts (the first
     * {@link #initNative()}). When a line would take the file past {@code bytes}, the file
     * is rotated: {@code libagent.log} becomes {@code libagent.1.log}, an earlier
     * {@code libagent.1.log} becomes {@code libagent.2.log} and so on, the oldest beyond
     * {@link #setLogMaxFiles the files kept} is removed, and a new {@code libagent.log} is
     * started. A line is never split across two files. A file left by an earlier run is
     * rotated away when the log starts instead of being emptied. {@code 0}, the default,
     * means no limit: one file, emptied when the log starts. Overrides the system property
     * {@code qv.vantrel.quorvane.log.maxSize}, which also takes K, M or G after the number.
     *
     * @param bytes the most a file may hold, or 0 for no limit
     * @throws IllegalArgumentException if {@code bytes} is negative
     * @throws IllegalStateException if the log has already started (the message says what
     *     it writes to)
     */
    public static void setLogMaxSize(long bytes) {
        LogSettings.setMaxSize(bytes);
    }

    /**
     * Sets how many rotated log files are kept beside the current one when
     * {@link #setLogMaxSize a size limit} is set, before the log starts (the first
     * {@link #initNative()}): from 1 to 1000, 5 by default. Overrides the system property
     * {@code qv.vantrel.quorvane.log.maxFiles}.
     *
     * @param files how many rotated files to keep
     * @throws IllegalArgumentException if {@code files} is not from 1 to 1000
     * @throws IllegalStateException if the log has already started (the message says what
     *     it writes to)
     */
    public static void setLogMaxFiles(int files) {
        LogSettings.setMaxFiles(files);
    }

    /**
     * Sets when lines reach the log file, before the log starts (the first
     * {@link #initNative()}): {@code line} (the default: each line as it is written) or
     * {@code buffered}: lines are written in blocks, and the file is flushed at every
     * warning or error line, at least once a second, and when the JVM exits normally (the
     * end of {@code main}, {@code System.exit}, a shutdown by signal). A crash or a kill
     * loses at most the last second of lines. Console lines are written as they come
     * either way. Case does not matter. Overrides the system property
     * {@code qv.vantrel.quorvane.log.flush}.
     *
     * @param flush {@code line} or {@code buffered}
     * @throws IllegalStateException if the log has already started (the message says what
     *     it writes to)
     * @throws IllegalArgumentException if {@code flush} is neither
     * @throws NullPointerException if {@code flush} is null
     */
    public static void setLogFlush(String flush) {
        LogSettings.setFlush(flush);
    }

    // Hands log settings to the library (see LogSettings); null when applied, else
    // the UTF-8 bytes of what the log writes to.
    static native byte[] configureLog(int level, byte[] file, int console, byte[] problem);

    // The same for the file's rotation and flushing.
    static native byte[] configureLogFile(long maxSize, int maxFiles, int flush);

    // Retransformation: classes loaded before initNative(), and undoing a rewrite.

    /**
     * Sends classes through the transformer again, now, as if they were loading: for classes
     * loaded before {@link #initNative()}, and to bring loaded classes in line with changed
     * filters or a changed transformer.
     *
     * <p>The filters decide for each class as for a loading class. A selected class is handed
     * to the transformer with its original class file (the bytes it was first defined with, so
     * a rewrite is never applied on top of an earlier one), and what the transformer returns
     * becomes the class's new definition. A class the filters pass over now, or for which the
     * transformer returns null or throws, gets its original definition back. Methods running at
     * that moment finish in the old code; every later call runs the new one.
     *
     * <p>Retransformation may change method bodies and constants, not the shape of a class: a
     * new class file that adds or removes a method or field, or changes the class's hierarchy or
     * modifiers, is refused, and so is one that is not a valid class file and any class the JVM
     * cannot modify (arrays, primitives, hidden classes such as lambdas). A refused class keeps
     * the definition it had; every other class is still retransformed, and then one
     * {@link RetransformException} names each refusal and its reason.
     *
     * <p>Any thread may call it at any time after {@code initNative()}, also while classes load
     * and from inside a transformer. The log gets an info line before and after, the usual line
     * for each class, and an error line for each refusal.
     *
     * @param classes the classes; a class given twice is retransformed once
     * @return how many classes were retransformed
     * @throws NullPointerException if the array or one of its elements is null; nothing is
     *     retransformed then
     * @throws IllegalStateException if {@link #initNative()} has not succeeded
     * @throws RetransformException if the JVM refused some of the classes, once every other
     *     class has been retransformed
     */
    public static int retransform(Class<?>... classes) {
        Objects.requireNonNull(classes, "classes");
        Set<Class<?>> distinct = new LinkedHashSet<>();
        for (Class<?> type : classes) {
            distinct.add(Objects.requireNonNull(type, "classes holds null"));
        }
        return retransformDistinct(distinct.toArray(new Class<?>[0]));
    }

    /**
     * Retransforms, as {@link #retransform} does, every loaded class that the filters select now
     * and every loaded class Quorvane has replaced before: after {@code addInclude(...)} the
     * newly selected classes are rewritten, and after {@code removeInclude(...)} or
     * {@code addExclude(...)} the classes no longer selected get their original code back.
     * Classes the JVM cannot modify (arrays, primitives, hidden classes such as lambdas) and
     * Quorvane's own classes are left out without a word.
     *
     * <p>Replaced classes are known by name: a class of the same name loaded by another class
     * loader, or one whose original code is already back, is retransformed too, which gives it
     * the code the filters decide, and is counted.
     *
     * @return how many classes were retransformed
     * @throws IllegalStateException if {@link #initNative()} has not succeeded, or the JVM could
     *     not list its classes
     * @throws RetransformException if the JVM refused some of the classes, once every other
     *     class has been retransformed
     */
    public static int retransformLoaded() {
        return retransformDistinct(loadedClassesToRetransform());
    }

    private static int retransformDistinct(Class<?>[] classes) {
        Class<?>[] refusedClasses = new Class<?>[classes.length];
        String[] refusedReasons = new String[classes.length];
        int retransformed = retransformNative(classes, refusedClasses, refusedReasons);
        List<RetransformException.Failure> failures = new ArrayList<>();
        for (int i = 0; i < refusedClasses.length && refusedClasses[i] != null; i++) {
            failures.add(new RetransformException.Failure(refusedClasses[i], refusedReasons[i]));
        }
        if (!failures.isEmpty()) {
            throw new RetransformException(failures, retransformed);
        }
        return retransformed;
    }

    /** Retransforms distinct, non-null classes; stores each refusal at one index of the two arrays. */
    private static native int retransformNative(Class<?>[] classes, Class<?>[] refusedClasses,
            String[] refusedReasons);

    /** The loaded classes {@link #retransformLoaded()} takes. */
    private static native Class<?>[] loadedClassesToRetransform();
}
