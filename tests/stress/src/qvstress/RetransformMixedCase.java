package qvstress;

import java.lang.instrument.Instrumentation;
import java.lang.invoke.MethodHandles;
import java.lang.reflect.Array;
import java.lang.reflect.Proxy;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.ConcurrentHashMap;
import java.util.function.IntSupplier;
import java.util.function.Supplier;
import qv.vantrel.quorvane.Quorvane;
import qv.vantrel.quorvane.remapper.Remap;
import qvstress.agent.RetransformAgent;

/**
 * retransformLoaded() in a JVM full of classes the VM cannot modify (lambdas and other hidden
 * classes, arrays, primitives) beside proxies and ordinary classes, all of them named by the
 * filters. It must take exactly the loaded classes the JDK itself calls modifiable and the
 * filters select, refuse none, and give every one its original code back once deselected.
 * A -javaagent of the tests supplies the JDK's answer.
 */
public final class RetransformMixedCase {
    private static final int PLAIN = 300;
    private static final int HIDDEN = 200;
    private static final List<String> INCLUDES = List.of("qvstress/", "mixed/", "jdk/proxy1/", "jdk/proxy2/");

    /** Package-private: its proxies are defined in this package. */
    interface Local {
        int value();
    }

    private RetransformMixedCase() {
    }

    public static void main(String[] args) throws Exception {
        Support.watchdog(120, "retransformLoaded among unmodifiable classes");
        Instrumentation inst = RetransformAgent.instrumentation();
        Support.check(inst != null, "the -javaagent did not start");

        Map<String, Integer> handed = new ConcurrentHashMap<>();
        Remap.setTransformer((name, bytes) -> {
            handed.merge(name, 1, Integer::sum);
            return bytes;
        });
        Remap.setFailureHandler((name, failure) -> Support.fail("transformer failed for " + name + ": " + failure));
        for (String entry : INCLUDES) {
            Support.check(Quorvane.addInclude(entry), "addInclude failed");
        }

        List<Object> keep = new ArrayList<>();
        // Ordinary classes and arrays of them, one and two dimensions.
        Support.ParallelLoader loader = new Support.ParallelLoader(name -> Support.classFile(name, false, 0));
        for (int i = 0; i < PLAIN; i++) {
            Class<?> plain = Class.forName(String.format("mixed.Plain%03d", i), false, loader);
            keep.add(Array.newInstance(plain, 0));
            keep.add(Array.newInstance(plain, 0, 0));
        }
        keep.add(new RetransformMixedCase[0]);
        // Hidden classes named inside the included package.
        MethodHandles.Lookup lookup = MethodHandles.lookup();
        for (int i = 0; i < HIDDEN; i++) {
            keep.add(lookup.defineHiddenClass(Support.classFile("qvstress/Hidden" + i, false, 0), false).lookupClass());
        }
        // Lambdas, a method reference, and proxies of a public and of a package-private interface.
        List<IntSupplier> lambdas = List.of(() -> 1, () -> 2, () -> 3, keep::size, "text"::length);
        keep.addAll(lambdas);
        keep.add(Proxy.newProxyInstance(loader(), new Class<?>[] {Supplier.class}, (p, m, a) -> "proxied"));
        keep.add(Proxy.newProxyInstance(loader(), new Class<?>[] {Local.class}, (p, m, a) -> 7));
        keep.add(Proxy.newProxyInstance(loader(), new Class<?>[] {IntSupplier.class, Local.class}, (p, m, a) -> 8));

        Support.check(Quorvane.initNative(), "initNative failed");
        // The first call may load classes of its own; the second one meets a settled JVM.
        Quorvane.retransformLoaded();
        Map<String, Integer> expected = modifiableAndSelected(inst);
        Support.check(expected.keySet().stream().anyMatch(n -> n.contains("$Proxy")), "no proxy among " + expected);
        Support.check(expected.getOrDefault("mixed/Plain000", 0) == 1, "no ordinary class among " + expected.keySet());

        handed.clear();
        int count = Quorvane.retransformLoaded();
        Support.check(handed.equals(expected), "classes handed to the transformer: " + diff(expected, handed));
        Support.check(count == total(expected), "retransformLoaded() gave " + count + ", expected " + total(expected));

        // Deselected, every one of them gets its original code back, with nothing refused.
        Quorvane.clearIncludes();
        handed.clear();
        int restored = Quorvane.retransformLoaded();
        Support.check(handed.isEmpty(), "transformer called with no include: " + handed.keySet());
        Support.check(restored == count, "restored " + restored + " classes of " + count);
        for (Object held : keep) {
            Support.check(held != null, "lost an object");
        }

        List<String> lines = Support.checkLogWellFormed();
        Support.check(Support.countLines(lines, "[error]") == 0, "error lines in the log");
        System.out.println("retransformLoaded: " + count + " classes of a JVM with " + inst.getAllLoadedClasses().length
                + " loaded, none refused, all restored");
    }

    private static ClassLoader loader() {
        return RetransformMixedCase.class.getClassLoader();
    }

    /** By the JDK's own account: internal name to how many loaded classes carry it. */
    private static Map<String, Integer> modifiableAndSelected(Instrumentation inst) {
        Map<String, Integer> names = new HashMap<>();
        for (Class<?> type : inst.getAllLoadedClasses()) {
            String name = type.getName().replace('.', '/');
            if (inst.isModifiableClass(type) && !name.startsWith("qv/vantrel/quorvane/")
                    && INCLUDES.stream().anyMatch(name::startsWith)) {
                names.merge(name, 1, Integer::sum);
            }
        }
        return names;
    }

    private static int total(Map<String, Integer> counts) {
        return counts.values().stream().mapToInt(Integer::intValue).sum();
    }

    private static String diff(Map<String, Integer> expected, Map<String, Integer> actual) {
        Map<String, String> differences = new HashMap<>();
        for (String name : expected.keySet()) {
            if (!expected.get(name).equals(actual.get(name))) {
                differences.put(name, "expected " + expected.get(name) + ", got " + actual.get(name));
            }
        }
        for (String name : actual.keySet()) {
            if (!expected.containsKey(name)) {
                differences.put(name, "not expected, got " + actual.get(name));
            }
        }
        return differences.toString();
    }
}
