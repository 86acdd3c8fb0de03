package qvstress;

import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.concurrent.ConcurrentHashMap;
import qv.vantrel.quorvane.Quorvane;
import qv.vantrel.quorvane.remapper.Remap;

/**
 * Transformers that load classes while they run: other selected classes (remap runs
 * nested on the same thread) and the very class being transformed (the JVM answers
 * with ClassCircularityError). Nothing may crash or hang, the failure is reported
 * once, and loading goes on afterwards.
 */
public final class ReentrantCase {
    private static final List<String> events = Collections.synchronizedList(new ArrayList<>());
    private static final Map<String, Throwable> failures = new ConcurrentHashMap<>();
    private static final ThreadLocal<Integer> depth = ThreadLocal.withInitial(() -> 0);
    private static Support.SerialLoader loader;

    private ReentrantCase() {
    }

    public static void main(String[] args) throws Exception {
        Support.watchdog(60, "re-entrant transformers");
        loader = new Support.SerialLoader(name -> Support.classFile(name, false, 0));
        Remap.setTransformer(ReentrantCase::transform);
        Remap.setFailureHandler(failures::put);
        Support.check(Quorvane.addInclude("reent/sel/"), "addInclude failed");
        Support.check(Quorvane.initNative(), "initNative failed");

        // Outer loads Middle from inside its transformer, Middle loads Inner and an
        // unselected class: three remaps nested on one thread.
        Class.forName("reent.sel.Outer", false, loader);
        List<String> expected = List.of(
                "enter reent/sel/Outer 1 main", "enter reent/sel/Middle 2 main", "enter reent/sel/Inner 3 main",
                "leave reent/sel/Inner", "leave reent/sel/Middle", "leave reent/sel/Outer");
        Support.check(events.equals(expected), "nested remaps: " + events);
        Support.check(failures.isEmpty(), "nested loading failed: " + failures);

        // Self touches itself while it is being transformed.
        events.clear();
        Class<?> self = Class.forName("reent.sel.Self", false, loader);
        Support.check(self.getName().equals("reent.sel.Self"), "Self did not load");
        Support.check(failures.keySet().equals(Set.of("reent/sel/Self")), "failures: " + failures);
        Throwable cause = failures.get("reent/sel/Self");
        Support.check(cause instanceof ClassCircularityError, "Self failed with " + cause);
        Support.check(events.equals(List.of("enter reent/sel/Self 1 main", "leave reent/sel/Self")), "Self remaps: " + events);

        // The library keeps working for the next class.
        events.clear();
        Class.forName("reent.sel.After", false, loader);
        Support.check(events.equals(List.of("enter reent/sel/After 1 main", "leave reent/sel/After")), "After: " + events);

        List<String> lines = Support.checkLogWellFormed();
        Support.check(Support.countLines(lines, "[warning]") == 1, "expected one warning line");
        Support.check(Support.countLines(lines, "[warning] [Quorvane] Remap returned null/exception for: reent/sel/Self") == 1,
                "no warning for Self");
        Map<String, Integer> logged = Support.remappedInLog(lines);
        Support.check(logged.equals(Map.of("reent/sel/Outer", 1, "reent/sel/Middle", 1, "reent/sel/Inner", 1,
                "reent/sel/After", 1)), "remapped lines: " + logged);
        Support.check(Support.countLines(lines, "Skipped by filter: reent/unsel/Side") == 1, "Side not skipped once");
        System.out.println("re-entrant transformers: nested remaps and ClassCircularityError handled");
    }

    private static byte[] transform(String name, byte[] bytes) throws Exception {
        int level = depth.get() + 1;
        depth.set(level);
        events.add("enter " + name + " " + level + " " + Thread.currentThread().getName());
        try {
            switch (name) {
                case "reent/sel/Outer":
                    Class.forName("reent.sel.Middle", false, loader);
                    break;
                case "reent/sel/Middle":
                    Class.forName("reent.sel.Inner", false, loader);
                    Class.forName("reent.unsel.Side", false, loader);
                    break;
                case "reent/sel/Self":
                    Class.forName("reent.sel.Self", false, loader);
                    break;
                default:
                    break;
            }
            return bytes;
        } finally {
            events.add("leave " + name);
            depth.set(level - 1);
        }
    }
}
