package qvstress;

import java.lang.instrument.Instrumentation;
import java.lang.reflect.Array;
import java.lang.reflect.Method;
import java.util.ArrayList;
import java.util.HashSet;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.concurrent.ConcurrentHashMap;
import qv.vantrel.quorvane.Quorvane;
import qv.vantrel.quorvane.RetransformException;
import qv.vantrel.quorvane.remapper.Remap;

/**
 * Retransformation in a JVM of about 200,000 loaded classes (100,000 classes and an array
 * class of each), far more local references than a JNI frame may declare: retransformLoaded()
 * lists them all and takes the selected one in a hundred, refusals by the hundred thousand
 * reach the exception, a filter edit gives the originals back, and Quorvane's Instrumentation
 * lists them all, with no -Xcheck:jni warning (the harness fails the case on one). A
 * twenty-fifth of the size under emulation.
 */
public final class ManyClassesCase {
    private static final int EVERY = 100;

    private ManyClassesCase() {
    }

    public static void main(String[] args) throws Exception {
        Support.watchdog(280, "retransformation among many classes");
        int count = Support.size(100_000, 4_000);
        // The log file only: a line for each of the refusals below.
        Quorvane.setLogConsole("off");
        Quorvane.setLogLevel("info");

        long started = System.nanoTime();
        List<Class<?>> selected = new ArrayList<>();
        List<Class<?>> others = new ArrayList<>();
        List<Class<?>> arrays = new ArrayList<>();
        Support.ParallelLoader loader = null;
        for (int i = 0; i < count; i++) {
            if (i % 10_000 == 0) {
                loader = new Support.ParallelLoader(name -> Support.taggedClass(name, "original"));
            }
            String name = (i % EVERY == 0 ? "many.sel.C" : "many.other.C") + i;
            Class<?> type = Class.forName(name, false, loader);
            (i % EVERY == 0 ? selected : others).add(type);
            arrays.add(Array.newInstance(type, 0).getClass());
        }
        long defined = System.nanoTime();

        // The Instrumentation's listings hold as many references as retransformLoaded()'s.
        Instrumentation inst = Quorvane.instrumentation();
        Set<Class<?>> all = new HashSet<>();
        for (Class<?> type : inst.getAllLoadedClasses()) {
            all.add(type);
        }
        Support.check(all.containsAll(selected) && all.containsAll(others) && all.containsAll(arrays),
                "getAllLoadedClasses() misses some of the " + count + " classes or their array classes");
        Set<Class<?>> initiated = new HashSet<>();
        for (Class<?> type : inst.getInitiatedClasses(loader)) {
            initiated.add(type);
        }
        Support.check(initiated.containsAll(selected.subList(selected.size() - 10, selected.size())),
                "getInitiatedClasses() misses classes of the last loader: " + initiated.size() + " listed");

        Map<String, Integer> handed = new ConcurrentHashMap<>();
        Remap.setTransformer((name, bytes) -> {
            handed.merge(name, 1, Integer::sum);
            return Support.taggedClass(name, "rewritten");
        });
        Remap.setFailureHandler((name, failure) -> Support.fail("transformer failed for " + name + ": " + failure));
        Support.check(Quorvane.addInclude("many/sel/"), "addInclude failed");
        Support.check(Quorvane.initNative(), "initNative failed");

        int taken = Quorvane.retransformLoaded();
        Support.check(taken == selected.size(), "retransformLoaded() took " + taken + ", expected " + selected.size());
        Support.check(handed.keySet().equals(internalNames(selected)) && handed.values().stream().allMatch(n -> n == 1),
                "classes handed to the transformer: " + handed.size() + " distinct, expected each of " + selected.size() + " once");
        checkTags(selected, "rewritten");
        checkTags(others.subList(0, others.size() / 97), "original");
        long loadedDone = System.nanoTime();

        // Every array class is refused without asking the VM; the selected classes beside them are
        // retransformed all the same.
        handed.clear();
        List<Class<?>> given = new ArrayList<>(arrays);
        given.addAll(selected);
        RetransformException refused = null;
        try {
            Quorvane.retransform(given.toArray(new Class<?>[0]));
        } catch (RetransformException expected) {
            refused = expected;
        }
        Support.check(refused != null, "retransform() of " + arrays.size() + " array classes refused none");
        Support.check(refused.retransformed() == selected.size(), "retransformed beside the refusals: " + refused.retransformed());
        Set<Class<?>> refusedClasses = new HashSet<>();
        for (RetransformException.Failure failure : refused.failures()) {
            Support.check(failure.reason().equals("JVMTI_ERROR_UNMODIFIABLE_CLASS"), "refused for " + failure.reason());
            refusedClasses.add(failure.refusedClass());
        }
        Support.check(refused.failures().size() == arrays.size() && refusedClasses.equals(new HashSet<>(arrays)),
                "refusals: " + refused.failures().size() + ", expected each of " + arrays.size() + " array classes");
        Support.check(handed.size() == selected.size(), "handed over beside the refusals: " + handed.size());
        long refusedDone = System.nanoTime();

        // Deselected, the replaced classes get their original code back.
        Quorvane.clearIncludes();
        handed.clear();
        int restored = Quorvane.retransformLoaded();
        Support.check(restored == selected.size(), "restored " + restored + " of " + selected.size());
        Support.check(handed.isEmpty(), "transformer called with no include: " + handed.size() + " classes");
        checkTags(selected, "original");

        List<String> lines = Support.checkLogWellFormed();
        Support.check(Support.countLines(lines, "[info] [Quorvane] Retransformed " + selected.size() + " classes, 0 failed") == 2,
                "no line for each retransformLoaded()");
        Support.check(Support.countLines(lines, "[info] [Quorvane] Retransformed " + selected.size() + " classes, "
                + arrays.size() + " failed") == 1, "no line for the retransform() with refusals");
        Support.check(Support.countLines(lines, "[error] [Quorvane] Could not retransform [Lmany/") == arrays.size(),
                "not one error line a refusal");
        System.out.printf("%d classes and %d array classes defined in %d ms; retransformLoaded() took %d in %d ms; "
                        + "%d refusals in %d ms%n", count, arrays.size(), (defined - started) / 1_000_000, taken,
                (loadedDone - defined) / 1_000_000, arrays.size(), (refusedDone - loadedDone) / 1_000_000);
    }

    private static Set<String> internalNames(List<Class<?>> classes) {
        Set<String> names = new HashSet<>();
        for (Class<?> type : classes) {
            names.add(Support.internalName(type.getName()));
        }
        return names;
    }

    private static void checkTags(List<Class<?>> classes, String expected) throws Exception {
        for (Class<?> type : classes) {
            Method tag = type.getMethod("tag");
            Support.check(expected.equals(tag.invoke(null)), type.getName() + " says " + tag.invoke(null) + ", not " + expected);
        }
    }
}
