package qvstress;

import java.lang.instrument.Instrumentation;
import java.util.List;
import java.util.Map;
import java.util.concurrent.ConcurrentHashMap;
import qv.vantrel.quorvane.Quorvane;
import qv.vantrel.quorvane.remapper.Remap;
import qvstress.agent.RetransformAgent;

/**
 * Another agent in the JVM retransforms classes the library has already seen: the
 * hook must get them again, and remap runs again for a selected one only.
 */
public final class RetransformCase {
    private RetransformCase() {
    }

    public static void main(String[] args) throws Exception {
        Support.watchdog(60, "retransformation");
        Instrumentation inst = RetransformAgent.instrumentation();
        Support.check(inst != null, "the -javaagent did not start");
        Support.check(inst.isRetransformClassesSupported(), "retransformation not supported");

        Map<String, Integer> remapped = new ConcurrentHashMap<>();
        Map<String, byte[]> lastBytes = new ConcurrentHashMap<>();
        Remap.setTransformer((name, bytes) -> {
            remapped.merge(name, 1, Integer::sum);
            lastBytes.put(name, bytes);
            // The replacement carries a marker field, so a retransformation that used
            // our result is visible on the class.
            return Support.classFile(name, true, 0);
        });
        Remap.setFailureHandler((name, failure) -> Support.fail("transformer failed for " + name + ": " + failure));
        Support.check(Quorvane.addInclude("retr/sel/"), "addInclude failed");
        Support.check(Quorvane.initNative(), "initNative failed");

        Support.ParallelLoader loader = new Support.ParallelLoader(name -> Support.classFile(name, false, 0));
        Class<?> target = Class.forName("retr.sel.Target", false, loader);
        Class<?> other = Class.forName("retr.unsel.Other", false, loader);
        Support.check(remapped.equals(Map.of("retr/sel/Target", 1)), "after loading: " + remapped);
        Support.check(target.getField("remapped") != null, "Target was not replaced");
        Support.check(inst.isModifiableClass(target) && inst.isModifiableClass(other), "classes not modifiable");

        inst.retransformClasses(target, other);
        Support.check(remapped.equals(Map.of("retr/sel/Target", 2)), "after retransforming: " + remapped);
        byte[] seen = lastBytes.get("retr/sel/Target");
        Support.check(seen.length > 10 && (seen[0] & 0xff) == 0xCA && (seen[1] & 0xff) == 0xFE,
                "retransformation handed remap no class file");

        inst.retransformClasses(target);
        Support.check(remapped.get("retr/sel/Target") == 3, "second retransformation: " + remapped);
        Support.check(target.getField("remapped") != null, "Target lost its replacement");

        List<String> lines = Support.checkLogWellFormed();
        Support.check(Support.remappedInLog(lines).equals(Map.of("retr/sel/Target", 3)), "log: " + Support.remappedInLog(lines));
        Support.check(Support.countLines(lines, "Skipped by filter: retr/unsel/Other") == 2, "Other not skipped twice");
        System.out.println("retransformation: remap ran again for each retransformation of a selected class");
    }
}
