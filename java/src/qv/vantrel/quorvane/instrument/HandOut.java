package qv.vantrel.quorvane.instrument;

import java.lang.instrument.Instrumentation;
import java.lang.invoke.MethodHandle;
import java.lang.invoke.MethodHandles;
import java.lang.invoke.MethodType;
import java.net.URL;
import java.security.CodeSource;
import java.util.Collections;
import java.util.Map;
import java.util.Set;
import java.util.WeakHashMap;
import java.util.concurrent.atomic.AtomicBoolean;

/**
 * Who gets an {@link Instrumentation} from this copy of Quorvane. Each public route to one
 * ({@code Quorvane.instrumentation()}, {@code loadAgent}, {@code loadLauncherAgent}) asks here
 * before it hands anything out, appends a jar or starts an agent; nothing here runs per class.
 *
 * <p>Two rules, both the JDK's. An Instrumentation can do what native code can (open
 * {@code java.lang} to its holder and grant it native access, say), so on a JDK with
 * native-access control (22 and later) it goes only where the JVM would let the caller load
 * native code: to a module with native access; to any other silently when the JVM allows
 * illegal native access, with one warning per module when it warns, and never when it denies.
 * And when the operator gave {@code -XX:-EnableDynamicAgentLoading}, no agent starts and no
 * Instrumentation is handed out after start-up.
 *
 * <p>Both settings come from the JVM's input arguments (what {@code RuntimeMXBean} reports,
 * {@code JAVA_TOOL_OPTIONS} and flag files included), read once from java.base: the JDK removes
 * the mode's system property at start-up, {@code Module.isNativeAccessEnabled()} cannot tell a
 * module allowed by {@code allow} or already warned about from one granted, and
 * java.management is not in every boot layer. Arguments that cannot be read refuse every
 * hand-out.
 *
 * <p>The caller is the nearest frame below Quorvane's own whose class is not the JDK's (the
 * named modules of the boot layer that the boot or platform class loader defines): reflection,
 * method handles, and JDK code that calls a method reference back are looked through, and a
 * lambda's or method reference's hidden class counts as its module's. With none (a thread
 * attached through JNI), it is the system class loader's unnamed module, as for the JDK's
 * restricted methods. A proxy that java.lang.invoke.MethodHandleProxies makes is not looked
 * through: the JDK judges a caller-sensitive method reached that way by the class whose lookup
 * made the method handle, which nothing on the stack shows, so the proxy's own module stands
 * as the caller and the refusal says what works instead.
 *
 * <p>Threads: any. The arguments are read once, when a route first asks; the modules warned
 * about are kept under the lock of a synchronized map.
 */
public final class HandOut {
    private static final String QUORVANE = "qv.vantrel.quorvane.Quorvane";
    private static final String FLAG = "-XX:-EnableDynamicAgentLoading";

    private static final StackWalker STACK = StackWalker.getInstance(
            Set.of(StackWalker.Option.RETAIN_CLASS_REFERENCE, StackWalker.Option.SHOW_HIDDEN_FRAMES));

    // Named modules warned about, weakly: a plugin's module must stay collectable. The
    // unnamed modules share one grant in the JDK, and so one warning.
    private static final Map<Module, Boolean> WARNED = Collections.synchronizedMap(new WeakHashMap<>());
    private static final AtomicBoolean WARNED_UNNAMED = new AtomicBoolean();

    private HandOut() {
    }

    /**
     * The Instrumentation of this copy, for a caller these rules let have it; what
     * {@code Quorvane.instrumentation()} returns.
     *
     * @return the same object on every call
     * @throws IllegalCallerException if the caller's module has no native access and the JVM
     *     denies native access to it
     * @throws IllegalStateException if the JVM runs with {@code -XX:-EnableDynamicAgentLoading},
     *     its arguments cannot be read, or this copy was detached
     */
    public static Instrumentation instrumentation() {
        String method = "instrumentation";
        Warning warning = ensureNativeAccess(method);
        ensureDynamicAgentLoading(method);
        return shared(warning);
    }

    /**
     * The shared Instrumentation of this copy, made on the first call (which starts the log),
     * then the warning a check owed, now that the log can take its line.
     */
    static QuorvaneInstrumentation shared(Warning warning) {
        QuorvaneInstrumentation shared = InstrumentNatives.instrumentation();
        if (warning != null) {
            warning.give();
        }
        return shared;
    }

    /**
     * Refuses a caller whose module the JVM denies native access; returns the warning owed to
     * one it warns about (to give once something is handed out), else null.
     *
     * @param method the route, a method of {@code Quorvane}
     * @throws IllegalCallerException naming the module and the option that would allow it
     * @throws IllegalStateException if the JVM's arguments cannot be read
     */
    static Warning ensureNativeAccess(String method) {
        Options options = Options.GIVEN;
        options.ensureRead(method);
        if (Options.NATIVE_ACCESS_ENABLED == null || options.mode == Mode.ALLOW) {
            return null;
        }
        Class<?> caller = STACK.walk(frames -> frames.map(StackWalker.StackFrame::getDeclaringClass)
                .filter(type -> !isOwn(type) && !isJdk(type)).findFirst().orElse(null));
        Module module = caller != null ? caller.getModule() : ClassLoader.getSystemClassLoader().getUnnamedModule();
        if (nativeAccessEnabled(module)) {
            return null;
        }
        String from = (module.isNamed() ? "module " + module.getName() : "an unnamed module") + location(caller);
        Grant grant = Grant.of(module, method);
        if (options.mode == Mode.DENY) {
            throw new IllegalCallerException("Illegal native access from " + from + ": " + QUORVANE + "::" + method
                    + " hands out an Instrumentation only to code that may load native code; " + grant.refused);
        }
        return new Warning(module, method, caller != null ? caller.getName() : "code", from, grant);
    }

    /**
     * What gives a module native access, in the words of a refusal, of the warning's advice line
     * and of the log's warning. The option names modules of the boot layer only (and all unnamed
     * ones): a module of a layer the application defined is granted by the layer's controller,
     * and a module the JDK defines at run time for a proxy (java.lang.invoke.MethodHandleProxies'
     * jdk.MHProxyN, java.lang.reflect.Proxy's jdk.proxyN, the only named modules without a
     * layer) by nothing at all. Such a proxy hides who made its method handle, so the caller is
     * sent to a route whose module can be judged.
     */
    private static final class Grant {
        final String refused;
        final String advice;
        final String logged;

        private Grant(String refused, String advice, String logged) {
            this.refused = refused;
            this.advice = advice;
            this.logged = logged;
        }

        static Grant of(Module module, String method) {
            if (!module.isNamed() || module.getLayer() == ModuleLayer.boot()) {
                String option = "--enable-native-access=" + (module.isNamed() ? module.getName() : "ALL-UNNAMED");
                return new Grant("allow it with " + option,
                        "Use " + option + " to avoid a warning for callers in this module", option + " allows it");
            }
            if (module.getLayer() != null) {
                String controller = "ModuleLayer.Controller.enableNativeAccess(" + module.getName() + ")";
                String why = " (the layer's own grant: --enable-native-access names modules of the boot layer only)";
                return new Grant("allow it with " + controller + why,
                        "Use " + controller + " to avoid a warning for callers in this module" + why,
                        controller + " allows it");
            }
            String proxy = "no option grants native access to " + module.getName()
                    + ", a module the JDK made at run time for a proxy (java.lang.invoke.MethodHandleProxies or "
                    + "java.lang.reflect.Proxy) that does not show who made the method handle it calls: call "
                    + QUORVANE + "::" + method + " directly, or through a lambda or a method reference, from a module "
                    + "with native access";
            return new Grant(proxy, Character.toUpperCase(proxy.charAt(0)) + proxy.substring(1), proxy);
        }
    }

    /**
     * Refuses when the operator gave {@code -XX:-EnableDynamicAgentLoading}: no agent after
     * start-up.
     *
     * @param method the route, a method of {@code Quorvane}
     * @throws IllegalStateException naming the flag, or saying that the arguments cannot be read
     */
    static void ensureDynamicAgentLoading(String method) {
        Options options = Options.GIVEN;
        options.ensureRead(method);
        if (options.dynamicAgentLoadingDisabled) {
            throw new IllegalStateException(QUORVANE + "::" + method + " refused: the JVM runs with " + FLAG
                    + ", which allows no agent and no Instrumentation after start-up (start the agent with "
                    + "-javaagent instead)");
        }
    }

    /** A class of Quorvane's own, in this copy's module. */
    private static boolean isOwn(Class<?> type) {
        String name = type.getPackageName();
        return type.getModule() == HandOut.class.getModule()
                && (name.equals("qv.vantrel.quorvane") || name.startsWith("qv.vantrel.quorvane."));
    }

    /** A class of the JDK's own modules, which act for whoever called into them. */
    private static boolean isJdk(Class<?> type) {
        Module module = type.getModule();
        ClassLoader loader = type.getClassLoader();
        return module.isNamed() && module.getLayer() == ModuleLayer.boot()
                && (loader == null || loader == ClassLoader.getPlatformClassLoader());
    }

    private static boolean nativeAccessEnabled(Module module) {
        try {
            return (boolean) Options.NATIVE_ACCESS_ENABLED.invokeExact(module);
        } catch (RuntimeException | Error e) {
            throw e;
        } catch (Throwable e) {
            throw new IllegalStateException("Module.isNativeAccessEnabled() failed", e);
        }
    }

    /** " (where the caller's class came from)", as the JDK's messages name it, or nothing. */
    private static String location(Class<?> caller) {
        CodeSource source = caller != null ? caller.getProtectionDomain().getCodeSource() : null;
        URL url = source != null ? source.getLocation() : null;
        return url != null ? " (" + url + ")" : "";
    }

    /** How the JVM treats code without native access. */
    private enum Mode { ALLOW, WARN, DENY }

    /** What the operator gave, from the JVM's input arguments, read once. */
    private static final class Options {
        // Module.isNativeAccessEnabled(), on JDK 22 and later; null before, where there is no
        // native-access control. The jar is Java 17 bytecode, so it is found at run time.
        static final MethodHandle NATIVE_ACCESS_ENABLED = findNativeAccessEnabled();
        static final Options GIVEN = new Options();

        final RuntimeException unreadable;
        final boolean dynamicAgentLoadingDisabled;
        final Mode mode;

        private Options() {
            String[] arguments = null;
            RuntimeException failure = null;
            try {
                arguments = InstrumentNatives.vmArguments();
                if (arguments == null) {
                    // A JVM started with no option at all answers null, not an empty array.
                    arguments = new String[0];
                }
            } catch (RuntimeException | LinkageError e) {
                failure = new IllegalStateException(e.toString(), e);
            }
            unreadable = failure;
            dynamicAgentLoadingDisabled = arguments != null && dynamicAgentLoadingDisabled(arguments);
            mode = arguments != null ? mode(arguments, Runtime.version().feature()) : Mode.DENY;
        }

        void ensureRead(String method) {
            if (unreadable != null) {
                throw new IllegalStateException(QUORVANE + "::" + method + " refused: the JVM's arguments, which say "
                        + "whether native access and agents after start-up are allowed, cannot be read: "
                        + unreadable.getMessage(), unreadable);
            }
        }

        /**
         * Whether the last EnableDynamicAgentLoading setting is off: given as -XX:±Name on the
         * command line or in JAVA_TOOL_OPTIONS, and as ±Name by a flags file (-XX:Flags=). The
         * JVM's default alone, whatever it is, is not the operator's word.
         */
        static boolean dynamicAgentLoadingDisabled(String[] arguments) {
            boolean disabled = false;
            for (String argument : arguments) {
                String flag = argument.startsWith("-XX:") ? argument.substring("-XX:".length()) : argument;
                if (flag.equals("-EnableDynamicAgentLoading")) {
                    disabled = true;
                } else if (flag.equals("+EnableDynamicAgentLoading")) {
                    disabled = false;
                }
            }
            return disabled;
        }

        /**
         * The last --illegal-native-access, as the JVM takes it (a value it does not know stops
         * its start; deny is the reading that refuses). Without one, JDK 24 and later warn;
         * JDK 22 and 23 deny the modules that --enable-native-access leaves out as soon as it
         * names any, and warn otherwise.
         */
        static Mode mode(String[] arguments, int feature) {
            String given = null;
            boolean anyGranted = false;
            for (String argument : arguments) {
                if (argument.startsWith("--illegal-native-access=")) {
                    given = argument.substring("--illegal-native-access=".length());
                } else if (argument.startsWith("--enable-native-access=")) {
                    anyGranted = true;
                }
            }
            if (given != null) {
                return given.equals("allow") ? Mode.ALLOW : given.equals("warn") ? Mode.WARN : Mode.DENY;
            }
            return feature < 24 && anyGranted ? Mode.DENY : Mode.WARN;
        }

        private static MethodHandle findNativeAccessEnabled() {
            try {
                return MethodHandles.publicLookup().findVirtual(Module.class, "isNativeAccessEnabled",
                        MethodType.methodType(boolean.class));
            } catch (NoSuchMethodException e) {
                return null;
            } catch (IllegalAccessException e) {
                throw new IllegalStateException("Module.isNativeAccessEnabled() is not accessible", e);
            }
        }
    }

    /** The warning owed to a module without native access that got an Instrumentation: given once per module. */
    static final class Warning {
        private final Module module;
        private final String method;
        private final String caller;
        private final String from;
        private final Grant grant;

        Warning(Module module, String method, String caller, String from, Grant grant) {
            this.module = module;
            this.method = method;
            this.caller = caller;
            this.from = from;
            this.grant = grant;
        }

        void give() {
            boolean first = module.isNamed() ? WARNED.putIfAbsent(module, Boolean.TRUE) == null
                    : WARNED_UNNAMED.compareAndSet(false, true);
            if (!first) {
                return;
            }
            // As the JDK warns of a restricted method's caller without native access.
            System.err.printf("WARNING: A restricted method in %s has been called%n"
                    + "WARNING: %s::%s has been called by %s in %s%n"
                    + "WARNING: %s%n"
                    + "WARNING: Quorvane refuses them an Instrumentation where native access is denied "
                    + "(--illegal-native-access=deny)%n%n", QUORVANE, QUORVANE, method, caller, from, grant.advice);
            InstrumentNatives.logWarning("[Quorvane] " + QUORVANE + "::" + method + " called by " + caller + " in "
                    + from + ", which has no native access: an Instrumentation handed out, with this warning once "
                    + "per module (" + grant.logged + "; --illegal-native-access=deny refuses it)");
        }
    }
}
