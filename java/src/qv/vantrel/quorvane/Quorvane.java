package qv.vantrel.quorvane;

import java.lang.instrument.Instrumentation;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.LinkedHashSet;
import java.util.List;
import java.util.Objects;
import java.util.Set;
import qv.vantrel.quorvane.instrument.AgentLoader;
import qv.vantrel.quorvane.instrument.HandOut;
import qv.vantrel.quorvane.observe.Cause;
import qv.vantrel.quorvane.observe.Transformers;

/**
 * Entry point of the Quorvane native agent: load-time class rewriting from inside
 * the running application.
 *
 * <p>Loading this class loads the native library {@code libquorvane.so}: from
 * {@code java.library.path} when one there comes from the build that made this jar (it
 * carries the same build identifier), otherwise the copy inside quorvane.jar for this
 * platform (Linux on x86-64 or aarch64); a library of another build is never loaded, and
 * the start of the log names it. An {@link UnsatisfiedLinkError} names the platform and
 * what was looked for when neither fits. On JDK 24 and later, allow native access to avoid the JVM's
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
 * <p>What the transformers do (every call: the class, the outcome, how long it took) is
 * shown to JDK Flight Recorder as the event {@code qv.vantrel.quorvane.ClassTransform}
 * (off unless a recording enables it) with the periodic
 * {@code qv.vantrel.quorvane.TransformerStatistics}, and to JMX as the MXBean
 * {@link qv.vantrel.quorvane.management.TransformersMXBean}.
 *
 * <p>All methods may be called from any thread at any time; filter edits take effect
 * for the next class that loads.
 */
public final class Quorvane {
    static {
        NativeLibrary.load();
        LogSettings.applyProperties();
        if (NativeLibrary.passedOver() != null) {
            LogSettings.reportAtStart(NativeLibrary.passedOver());
        }
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
     *     which), or this copy was detached (see {@link #detach()}), in which case classes
     *     keep loading unchanged
     */
    public static native boolean initNative();

    /**
     * The {@link Instrumentation} of this copy of the library: the standard API for
     * changing classes, as a {@code -javaagent} gets it, from inside the application,
     * without a command-line flag and without attaching. Coverage tools, profilers,
     * bytecode libraries' agent builders and mocking libraries that expect an
     * {@code Instrumentation} work with it:
     *
     * <pre>{@code
     * Instrumentation inst = Quorvane.instrumentation();
     * inst.addTransformer(myTransformer, true);
     * inst.retransformClasses(AlreadyLoaded.class);
     * }</pre>
     *
     * <p>Every method of the interface behaves and fails as the interface's Javadoc says, and
     * as the JDK's own {@code Instrumentation} does where it leaves a choice; redefinition,
     * retransformation and native method prefixes are all supported. Its transformers see
     * every class the JVM defines, redefines or retransforms (the filters of this class
     * belong to {@code Remap} and do not apply; classes of this library's own package are
     * never shown), in the order they were added, those added without retransformation
     * before those added with it; on retransformation only the latter. An exception a
     * transformer throws drops that transformer's result, leaves one warning line in the
     * log and never reaches the code that loads the class.
     *
     * <p>It needs neither {@link #initNative()} nor the filters. The first call starts the
     * log if it has not started (with the settings in force) and writes one info line; each
     * later call returns the same object, from any thread. Each copy of the library (one
     * per class loader that loads quorvane.jar) has an {@code Instrumentation} of its own.
     * {@link #detach()} ends it: its transformers are dropped and every later call throws.
     *
     * <p><b>Who gets it.</b> An {@code Instrumentation} lets its holder change any class of
     * the JVM, and so do anything native code can, so it goes only where the JVM would let the
     * caller load native code. The caller is the code that calls this method, looked for
     * through reflection, method handles and JDK code that calls a method reference back; its
     * module decides. On JDK 22 and later (native-access control): a module with native access
     * ({@code --enable-native-access=<module>}, {@code ALL-UNNAMED} for the class path) gets it;
     * any other gets it silently under {@code --illegal-native-access=allow}, with one warning
     * per module on standard error (as the JDK warns of a restricted method) and in the log
     * under the default {@code warn}, and never under {@code --illegal-native-access=deny}. On
     * JDK 17 and 21 any caller gets it. On every JDK, when the operator gave
     * {@code -XX:-EnableDynamicAgentLoading} (on the command line, in {@code JAVA_TOOL_OPTIONS}
     * or a flags file), nobody does: no agent after start-up. The check is made at the
     * hand-out, as the JDK's is at {@code -javaagent}: whoever holds the object may pass it on.
     *
     * @return the same {@code Instrumentation} on every call
     * @throws IllegalCallerException if the caller's module has no native access and the JVM
     *     denies native access (the message names the module and the
     *     {@code --enable-native-access} that would allow it)
     * @throws IllegalStateException if the JVM runs with {@code -XX:-EnableDynamicAgentLoading},
     *     this copy was detached, or the JVM offers no JVMTI environment with the capabilities
     *     it needs
     */
    public static Instrumentation instrumentation() {
        return HandOut.instrumentation();
    }

    /**
     * Starts an agent jar from inside the application, as {@code -javaagent:<jar>=<options>}
     * would have started it, with no command-line flag, no attach and no second process;
     * the same as {@link #loadAgent(Path, String)} with {@code Path.of(jarPath)}.
     *
     * <pre>{@code
     * public static void main(String[] args) {
     *     Quorvane.loadAgent("/usr/share/java/byteman.jar", "script:rules.btm");
     *     ...
     * }
     * }</pre>
     *
     * @param jarPath the agent jar, absolute or relative to the working directory
     * @param options the agent's argument, as after the {@code '='} of {@code -javaagent};
     *     null is passed on as null
     * @throws NullPointerException if {@code jarPath} is null
     * @throws IllegalArgumentException if the jar cannot be read or names no agent that can
     *     be started (see {@link #loadAgent(Path, String)})
     * @throws IllegalCallerException if the caller may not have an {@code Instrumentation}
     *     (see {@link #instrumentation()})
     * @throws IllegalStateException if the agent's entry method threw, this copy of Quorvane
     *     was detached, or the JVM runs with {@code -XX:-EnableDynamicAgentLoading}
     */
    public static void loadAgent(String jarPath, String options) {
        Objects.requireNonNull(jarPath, "Quorvane.loadAgent: the jar is null");
        loadAgent(Path.of(jarPath), options);
    }

    /**
     * Starts an agent jar from inside the application, doing what the JDK does for an agent
     * jar loaded into a running JVM, read from the jar's manifest:
     *
     * <ul>
     * <li>the jar is appended to the system class loader's search, and each
     * {@code Boot-Class-Path} entry (relative ones resolved against the jar's folder) to the
     * bootstrap class loader's; an entry that is malformed, missing or no jar file is left
     * out with a warning line in the log, as the JDK leaves it out;</li>
     * <li>the agent class is the one {@code Agent-Class} names, started with
     * {@code agentmain(String, Instrumentation)} or else {@code agentmain(String)}; without
     * {@code Agent-Class}, since many agents ship only for the command line, the one
     * {@code Premain-Class} names, with {@code premain} in the same two forms. The system
     * class loader loads it, and the method runs on the calling thread with
     * {@code options};</li>
     * <li>the agent gets an {@link Instrumentation} of its own that grants what the manifest
     * grants and no more: without {@code Can-Redefine-Classes: true},
     * {@code Can-Retransform-Classes: true} or {@code Can-Set-Native-Method-Prefix: true}, the
     * matching {@code is...Supported()} answers false and the matching methods (and
     * {@code addTransformer(t, true)}) throw {@link UnsupportedOperationException}, with the
     * JDK's messages. Its transformers run with every other transformer of this copy: within
     * each kind, those of each agent together, agents in the order they were started
     * (after those of {@link #instrumentation()}), as the JDK orders those of several
     * agents.</li>
     * </ul>
     *
     * <p>A jar that is refused ({@link IllegalArgumentException}) changes nothing: the
     * manifest is read and the agent class's entry method found in its class file before
     * anything is appended to a search path or the log starts. Only a class that then fails
     * to load (a missing superclass, say) leaves the jar appended.
     *
     * <p>An exception the agent's entry method throws (or its class's initialization)
     * reaches the caller as an {@link IllegalStateException} that names the agent class and
     * the jar, with the agent's exception as its cause; the log gets a warning line. Whatever
     * the agent registered before it threw stays registered, as on the JDK's route.
     *
     * <p>Loading the same jar again starts its agent again, as attaching it twice does: the
     * entry method runs once per call, each time with a new {@code Instrumentation}, and
     * the jar is appended again (which changes nothing for the class loader).
     *
     * <p>Unlike {@code -javaagent}, the agent starts when this method is called: classes
     * already loaded are not shown to its transformers unless it retransforms them. The
     * first call starts the log (as {@link #instrumentation()} does) and each started agent
     * gets an info line. Any thread may call it; it needs no {@link #initNative()}.
     *
     * <p>Starting an agent hands out {@code Instrumentation}s, so the caller is checked as
     * {@link #instrumentation()} checks it, and under {@code -XX:-EnableDynamicAgentLoading}
     * no agent starts; a refused call changes nothing (no jar appended, no log, no agent).
     *
     * @param jar the agent jar
     * @param options the agent's argument, as after the {@code '='} of {@code -javaagent};
     *     null is passed on as null
     * @throws NullPointerException if {@code jar} is null
     * @throws IllegalArgumentException naming the jar and what is missing, when the jar is
     *     not found or cannot be opened, has no manifest, no {@code Agent-Class} or
     *     {@code Premain-Class}, or its agent class is not found (cause
     *     {@link ClassNotFoundException}), has no entry method in either form (cause
     *     {@link NoSuchMethodException}), or one that is not public and static
     * @throws IllegalCallerException if the caller may not have an {@code Instrumentation}
     *     (see {@link #instrumentation()})
     * @throws IllegalStateException if the agent's entry method threw, this copy of Quorvane
     *     was detached, or the JVM runs with {@code -XX:-EnableDynamicAgentLoading}
     */
    public static void loadAgent(Path jar, String options) {
        AgentLoader.load(jar, options);
    }

    /**
     * Starts the agent that the {@code Launcher-Agent-Class} attribute of the application's
     * own jar names, as {@code java -jar} would have started it, for an application started
     * some other way ({@code java -cp app.jar:... Main}, a launcher script, a service
     * wrapper): its {@code agentmain(String, Instrumentation)} (or {@code agentmain(String)})
     * with an empty string, as {@code java -jar} passes, and an {@link Instrumentation} that
     * grants what that manifest grants. {@code Boot-Class-Path} entries are appended as for
     * {@link #loadAgent(Path, String)}; the jar itself is not, since the application's
     * classes come from it already. The agent class is loaded by the calling class's loader
     * (the system class loader for an application on the class path, as under
     * {@code java -jar}).
     *
     * <p>The application's jar is the jar of the class that calls this method, normally the
     * one of {@code main}: the class path and module path may name many jars, and the JVM's
     * record of its main class is missing when it was started by another launcher or
     * embedded, while the calling class knows its own jar.
     *
     * <p>When the JVM was started with {@code java -jar} on that very jar, the JDK has
     * started the agent already, and this method returns false without starting it again,
     * so that an application may call it however it is started. Otherwise each call starts
     * the agent, as {@link #loadAgent(Path, String)} does for each call.
     *
     * <p>The caller is checked as {@link #instrumentation()} checks it, first; under
     * {@code -XX:-EnableDynamicAgentLoading} it refuses to start the agent (the JDK's own
     * start under {@code java -jar} still returns false).
     *
     * @return true when the agent was started; false when the jar names no
     *     {@code Launcher-Agent-Class} (or has no manifest), or {@code java -jar} has
     *     started it already
     * @throws IllegalStateException if the calling class was not loaded from a jar file, if
     *     the agent's entry method threw (the cause), if this copy of Quorvane was
     *     detached, or if the JVM runs with {@code -XX:-EnableDynamicAgentLoading}
     * @throws IllegalArgumentException if the jar's agent class or its entry method is not
     *     found, as for {@link #loadAgent(Path, String)}
     * @throws IllegalCallerException if the caller may not have an {@code Instrumentation}
     *     (see {@link #instrumentation()})
     */
    public static boolean loadLauncherAgent() {
        return AgentLoader.loadLauncherAgent(StackWalker.getInstance(StackWalker.Option.RETAIN_CLASS_REFERENCE)
                .getCallerClass());
    }

    /**
     * Stops this copy of the library for good. Each class loader that loads
     * quorvane.jar (a plugin host's plugin loaders, say) gets a copy of its own that sees
     * every class the JVM loads; a plugin that is unloaded should detach its copy first.
     * From this call on, the copy's class-load hook does nothing and the JVM no longer
     * calls it; once no hook of this copy is still running a transformation on another
     * thread, the library lets go of this copy's classes, so that their class loader can
     * be collected. Afterwards {@link #initNative()} returns false, and {@link #retransform}
     * and {@link #retransformLoaded()} throw {@link IllegalStateException} ("this copy of
     * Quorvane was detached"), also when called by a transformer that was running at the
     * moment of the detach. Calling it again changes nothing. It also ends this copy's
     * {@link #instrumentation()}: its transformers are dropped and released, and every later
     * call on it, or of {@code instrumentation()}, throws {@link IllegalStateException}.
     *
     * <p>Called before {@code initNative()}, it disables this copy for good just the same,
     * and the copy's log never starts: each later {@code initNative()} returns false with
     * one line on standard error, and {@code libagent.log} is neither created nor emptied.
     *
     * <p>Classes this copy rewrote keep the rewrite only until something retransforms
     * them, another copy of Quorvane or an agent: the JVM then hands the class's original
     * class file to the transformers that remain, and this copy's rewrite is gone. To give
     * them their original code back yourself, remove the filters that select them
     * ({@link #clearIncludes()}) and call {@link #retransformLoaded()} before detaching.
     * That works only for rewrites that kept the shape of the class: where a rewrite added
     * or removed a method or a field, the JVM refuses the original class file (for
     * instance {@code JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_DELETED}), the class
     * keeps the rewrite, and a {@link RetransformException} names it.
     *
     * <p>The copy's MXBean ({@code qv.vantrel.quorvane:type=Transformers}) is unregistered,
     * and its transformers leave the statistics of JDK Flight Recorder.
     */
    public static void detach() {
        detachNative();
        Transformers.detach();
    }

    private static native void detachNative();

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
     * rotated away when the log starts instead of being emptied. A rotation that cannot
     * rename the files (a folder that may not be written, a folder in a rotated file's
     * place) loses no line: the file grows past the limit until a rotation succeeds, tried
     * again at most once a second, and the log says so once. {@code 0}, the default,
     * means no limit: one file, emptied when the log starts. Overrides the system property
     * {@code qv.vantrel.quorvane.log.maxSize}, which also takes a unit after the number,
     * with or without one space before it, in any case: {@code K}, {@code KB} or
     * {@code KiB} (1024 bytes), {@code M}, {@code MB} or {@code MiB} (1024 K), {@code G},
     * {@code GB} or {@code GiB} (1024 M).
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
     * <p>Quorvane's own classes (those of {@code qv.vantrel.quorvane} and below, whichever
     * class loader defined them) are never handed to a transformer: they are left out and not
     * counted, so {@code retransform(Quorvane.class)} returns 0.
     *
     * <p>Any thread may call it at any time after {@code initNative()}, also while classes load
     * and from inside a transformer. The log gets an info line before and after, the usual line
     * for each class, and an error line for each refusal.
     *
     * @param classes the classes; a class given twice is retransformed once
     * @return how many classes were retransformed
     * @throws NullPointerException if the array or one of its elements is null; nothing is
     *     retransformed then
     * @throws IllegalStateException if {@link #initNative()} has not succeeded, or this copy
     *     was detached (the message says which)
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
     * {@code addExclude(...)} the classes no longer selected get their original code back,
     * as long as their rewrite kept the shape of the class. A class whose rewrite added or
     * removed a method or a field is refused (the JVM cannot drop them from a loaded class)
     * and keeps the rewrite.
     * Classes the JVM cannot modify (arrays, primitives, hidden classes such as lambdas) and
     * Quorvane's own classes are left out without a word.
     *
     * <p>Replaced classes are known by name: a class of the same name loaded by another class
     * loader, or one whose original code is already back, is retransformed too, which gives it
     * the code the filters decide, and is counted.
     *
     * @return how many classes were retransformed
     * @throws IllegalStateException if {@link #initNative()} has not succeeded, this copy was
     *     detached, or the JVM could not list its classes (the message says which)
     * @throws RetransformException if the JVM refused some of the classes, once every other
     *     class has been retransformed
     */
    public static int retransformLoaded() {
        return retransformDistinct(loadedClassesToRetransform());
    }

    private static int retransformDistinct(Class<?>[] classes) {
        Class<?>[] refusedClasses = new Class<?>[classes.length];
        String[] refusedReasons = new String[classes.length];
        int retransformed;
        Cause.Mark enclosing = Cause.enter(Cause.RETRANSFORM, classes);
        try {
            retransformed = retransformNative(classes, refusedClasses, refusedReasons);
        } finally {
            Cause.leave(enclosing);
        }
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
