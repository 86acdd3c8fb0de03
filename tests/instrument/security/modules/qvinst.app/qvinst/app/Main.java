package qvinst.app;

import java.lang.instrument.ClassFileTransformer;
import java.lang.instrument.Instrumentation;
import java.lang.invoke.MethodHandleProxies;
import java.lang.invoke.MethodHandles;
import java.lang.invoke.MethodType;
import java.lang.module.Configuration;
import java.lang.module.ModuleFinder;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.nio.file.Path;
import java.security.ProtectionDomain;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.Optional;
import java.util.Set;
import java.util.concurrent.CompletableFuture;
import java.util.function.Supplier;
import qv.vantrel.quorvane.Quorvane;
import qvinst.other.Other;

/**
 * The child JVM of {@code qvinst.SecurityCase}: runs each action its arguments name and prints
 * one line for each, {@code <action>: <outcome>}, an outcome that starts with "threw" when
 * the action threw. On the module path this is the named module qvinst.app; on the class
 * path the same classes are in the unnamed module.
 *
 * <p>System properties: {@code qvinst.library}, a native library to load; {@code qvinst.agent},
 * an agent jar (its agent sets {@code qvinst.mark} to its options). An argument
 * {@code -Dkey=value} sets one before the actions after it run, for a JVM given no option.
 */
public final class Main {
    private static Instrumentation first;

    private Main() {
    }

    public static void main(String[] args) {
        for (String action : args) {
            if (action.startsWith("-D")) {
                // A property given as an argument, by a row whose JVM takes no option.
                int equals = action.indexOf('=');
                System.setProperty(action.substring(2, equals), action.substring(equals + 1));
                continue;
            }
            String outcome;
            try {
                outcome = run(action);
            } catch (Throwable e) {
                Throwable cause = e;
                while (cause.getCause() != null) {
                    cause = cause.getCause();
                }
                outcome = "threw " + e.getClass().getName() + ": " + e.getMessage()
                        + (cause != e ? " (caused by " + cause + ")" : "");
            }
            System.out.println(action + ": " + outcome);
        }
    }

    private static String run(String action) throws Throwable {
        switch (action) {
            case "modules":
                return "java.management=" + ModuleLayer.boot().findModule("java.management").isPresent()
                        + " jdk.management=" + ModuleLayer.boot().findModule("jdk.management").isPresent();
            case "flag":
                return flag();
            case "system-load":
                System.load(System.getProperty("qvinst.library"));
                return "loaded";
            case "instrumentation":
                first = Quorvane.instrumentation();
                return retransformed(first);
            case "instrumentation-again":
                return Quorvane.instrumentation() == first ? "the same object" : "another object";
            case "via-jdk":
                // A method reference that JDK code calls: the frame below Quorvane's is java.base's.
                return handedOut(Optional.<Instrumentation>empty().orElseGet(Quorvane::instrumentation));
            case "via-thread":
                return handedOut(CompletableFuture.supplyAsync(Quorvane::instrumentation).join());
            case "reflective":
                return handedOut(Other.reflective());
            case "handle":
                return handedOut(Other.handle());
            case "proxy":
                // An interface instance around a method handle: the frame below Quorvane's is
                // the proxy's, in a module the JDK made for it.
                return handedOut(MethodHandleProxies.asInterfaceInstance(Supplier.class, MethodHandles.lookup()
                        .findStatic(Quorvane.class, "instrumentation", MethodType.methodType(Instrumentation.class)))
                        .get());
            case "layer":
                return handedOut(inLayer(false));
            case "layer-granted":
                return handedOut(inLayer(true));
            case "deep":
                return handedOut(Other.deep());
            case "internal-api":
                return "returned " + Other.internalApi();
            case "load-agent":
                Quorvane.loadAgent(System.getProperty("qvinst.agent"), "by-load-agent");
                return "returned";
            case "agent-state":
                return "started=" + System.getProperty("qvinst.mark") + " appended="
                        + (ClassLoader.getSystemClassLoader().getResource("qvinst/mark/MarkAgent.class") != null);
            case "launcher-agent":
                return "returned " + Quorvane.loadLauncherAgent() + ", started=" + System.getProperty("qvinst.launcher");
            case "escalate":
                return escalate();
            default:
                throw new IllegalArgumentException("no action " + action);
        }
    }

    /**
     * Quorvane reached by reflection from a copy of qvinst.other in a layer of its own, granted
     * native access by the layer's controller or not.
     */
    private static Object inLayer(boolean granted) throws Throwable {
        Path otherJar = Path.of(Other.class.getProtectionDomain().getCodeSource().getLocation().toURI());
        Configuration configuration = ModuleLayer.boot().configuration()
                .resolve(ModuleFinder.of(otherJar), ModuleFinder.of(), Set.of("qvinst.other"));
        ModuleLayer.Controller controller = ModuleLayer.defineModulesWithOneLoader(configuration,
                List.of(ModuleLayer.boot()), Main.class.getClassLoader());
        Module other = controller.layer().findModule("qvinst.other").orElseThrow();
        if (granted) {
            // ModuleLayer.Controller.enableNativeAccess, JDK 22 and later; the module is built for 17.
            ModuleLayer.Controller.class.getMethod("enableNativeAccess", Module.class).invoke(controller, other);
        }
        try {
            return other.getClassLoader().loadClass("qvinst.other.Other").getMethod("reflective").invoke(null);
        } catch (InvocationTargetException e) {
            throw e.getCause();
        }
    }

    private static String handedOut(Object instrumentation) {
        return instrumentation instanceof Instrumentation ? "handed out" : "got " + instrumentation;
    }

    /** Whether the Instrumentation works: it retransforms this class through a transformer. */
    private static String retransformed(Instrumentation inst) throws Exception {
        List<String> seen = new ArrayList<>();
        ClassFileTransformer recorder = new ClassFileTransformer() {
            @Override
            public byte[] transform(ClassLoader loader, String name, Class<?> redefined, ProtectionDomain domain,
                    byte[] bytes) {
                // By name too: the VM may load a class of its own while it retransforms this
                // one (the module's read edges), and posts that load with this class as the
                // one being redefined, to the JDK's transformers as to these.
                if (redefined == Main.class && "qvinst/app/Main".equals(name)) {
                    seen.add(name);
                }
                return null;
            }
        };
        inst.addTransformer(recorder, true);
        inst.retransformClasses(Main.class);
        inst.removeTransformer(recorder);
        return seen.equals(List.of("qvinst/app/Main")) ? "retransformed" : "saw " + seen;
    }

    /**
     * What the JDK's own HotSpotDiagnosticMXBean says of EnableDynamicAgentLoading (value and
     * origin), by reflection: the module path may have no jdk.management.
     */
    private static String flag() throws Exception {
        Class<?> bean = Class.forName("com.sun.management.HotSpotDiagnosticMXBean");
        Object diagnostic = Class.forName("java.lang.management.ManagementFactory")
                .getMethod("getPlatformMXBean", Class.class).invoke(null, bean);
        Object option = bean.getMethod("getVMOption", String.class).invoke(diagnostic, "EnableDynamicAgentLoading");
        Class<?> vmOption = option.getClass();
        return vmOption.getMethod("getValue").invoke(option) + " " + vmOption.getMethod("getOrigin").invoke(option);
    }

    /**
     * The escalation an Instrumentation allows: open java.lang to this module, grant it
     * native access through Module's own method, then load a native library, which the JVM
     * refused this module before.
     */
    private static String escalate() throws Exception {
        Instrumentation inst = Quorvane.instrumentation();
        Module self = Main.class.getModule();
        inst.redefineModule(Object.class.getModule(), Set.of(), Map.of(), Map.of("java.lang", Set.of(self)), Set.of(),
                Map.of());
        Method grant = Module.class.getDeclaredMethod("implAddEnableNativeAccess");
        grant.setAccessible(true);
        grant.invoke(self);
        System.load(System.getProperty("qvinst.library"));
        return "escalated: java.lang opened and native access granted to " + self + ", System.load works";
    }
}
