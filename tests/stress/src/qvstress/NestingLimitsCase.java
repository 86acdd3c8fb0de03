package qvstress;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.concurrent.ConcurrentHashMap;
import qv.vantrel.quorvane.Quorvane;
import qv.vantrel.quorvane.remapper.Remap;

/**
 * Transformers whose own work loads the classes being transformed. A class is never
 * remapped inside its own remap on the same thread, nesting stops at 32, and the error
 * the VM needs to report a circular load is never remapped: such classes load unchanged
 * with a warning line that names them, instead of the class-load path recursing until the
 * native stack is gone.
 *
 * <p>Argument "limits": both limits in this JVM. Argument "programs": two small programs
 * that used to kill the JVM without a word (a transformer that builds a string, and one
 * that counts in a map, with all of java/lang/ selected), each run in a child JVM.
 */
public final class NestingLimitsCase {
    private static final int CHAIN = 40;
    private static final int MAX_NESTED = 32;
    private static final ThreadLocal<Integer> depth = ThreadLocal.withInitial(() -> 0);

    private NestingLimitsCase() {
    }

    public static void main(String[] args) throws Exception {
        switch (args[0]) {
            case "limits":
                limits();
                break;
            case "programs":
                programs();
                break;
            case "child-concat":
                Remap.setTransformer((n, b) -> {
                    System.out.println("transform " + n);
                    return b;
                });
                childProgram();
                break;
            case "child-merge":
                Map<String, Integer> counts = new ConcurrentHashMap<>();
                Remap.setTransformer((n, b) -> {
                    counts.merge(n, 1, Integer::sum);
                    return b;
                });
                childProgram();
                break;
            default:
                Support.fail("unknown mode " + args[0]);
        }
    }

    private static void childProgram() {
        Quorvane.addInclude("java/lang/");
        System.out.println("init=" + Quorvane.initNative());
        System.out.println("child done");
    }

    private static void limits() throws Exception {
        Support.watchdog(60, "nesting limits");
        Map<String, Integer> maxDepth = new ConcurrentHashMap<>();
        List<String> order = new ArrayList<>();
        Support.ParallelLoader chainLoader = new Support.ParallelLoader(name -> Support.classFile(name, false, 0));
        Remap.setTransformer((name, bytes) -> {
            int level = depth.get() + 1;
            depth.set(level);
            order.add(name);
            maxDepth.merge(name, level, Math::max);
            try {
                if (name.startsWith("nest/chain/C")) {
                    int next = Integer.parseInt(name.substring("nest/chain/C".length())) + 1;
                    if (next < CHAIN) {
                        Class.forName("nest.chain.C" + next, false, chainLoader);
                    }
                } else if (name.equals("nest/twin/Twin")) {
                    // The same name again, through a loader of its own: the JVM cannot see
                    // the circle, so the library must.
                    new Support.ParallelLoader(n -> Support.classFile(n, false, 0)).loadClass("nest.twin.Twin");
                }
                return Support.classFile(name, true, 0);
            } finally {
                depth.set(level - 1);
            }
        });
        Remap.setFailureHandler((name, failure) -> Support.fail("transformer failed for " + name + ": " + failure));
        Support.check(Quorvane.addInclude("nest/"), "addInclude failed");
        Support.check(Quorvane.initNative(), "initNative failed");

        // A chain of 40 classes, each loaded by the previous one's transformer: the
        // first 32 are remapped, nested, and the 33rd and everything it would load are
        // left as they are.
        Class<?> first = Class.forName("nest.chain.C0", false, chainLoader);
        for (int i = 0; i < MAX_NESTED + 1; i++) {
            Class<?> type = Class.forName("nest.chain.C" + i, false, chainLoader);
            boolean rewritten = hasMarker(type);
            Support.check(rewritten == (i < MAX_NESTED), "nest.chain.C" + i + " rewritten: " + rewritten);
        }
        Support.check(hasMarker(first), "C0 not rewritten");
        Support.check(maxDepth.get("nest/chain/C31") == MAX_NESTED, "C31 ran at depth " + maxDepth.get("nest/chain/C31"));
        Support.check(!maxDepth.containsKey("nest/chain/C32"), "C32 reached the transformer");

        // The same name inside its own remap: the inner one loads unchanged.
        order.clear();
        Class<?> twin = new Support.ParallelLoader(n -> Support.classFile(n, false, 0)).loadClass("nest.twin.Twin");
        Support.check(hasMarker(twin), "the outer Twin was not rewritten");
        Support.check(order.equals(List.of("nest/twin/Twin")), "transformer calls: " + order);

        // Back at the top, everything is remapped again.
        Support.check(hasMarker(Class.forName("nest.after.After", false, chainLoader)), "After not rewritten");

        List<String> lines = Support.checkLogWellFormed();
        Support.check(Support.countLines(lines, "[warning] [Quorvane] Remaps nested 32 deep on this thread, "
                + "loaded unchanged: nest/chain/C32") == 1, "no depth line for C32");
        Support.check(Support.countLines(lines, "[warning] [Quorvane] Already being remapped on this thread, "
                + "loaded unchanged: nest/twin/Twin") == 1, "no line for the inner Twin");
        Support.check(Support.countLines(lines, "[warning]") == 2, "expected exactly two warning lines");
        Map<String, Integer> remapped = Support.remappedInLog(lines);
        Support.check(remapped.size() == MAX_NESTED + 2, "remapped lines: " + remapped);
        System.out.println("nesting limits: 32 nested remaps, the 33rd and the inner twin left unchanged");
    }

    private static boolean hasMarker(Class<?> type) {
        try {
            type.getField("remapped");
            return true;
        } catch (NoSuchFieldException e) {
            return false;
        }
    }

    private static void programs() throws Exception {
        Support.watchdog(150, "self-loading transformers");
        List<String> problems = new ArrayList<>();
        for (String program : List.of("child-concat", "child-merge")) {
            Support.Child child = Support.runChild(Paths.get(program), 60, "qvstress.NestingLimitsCase", program);
            problems.addAll(child.trouble());
            String log = Files.readString(Paths.get(program, "libagent.log"), StandardCharsets.ISO_8859_1);
            int status = child.status();
            // Finished, or failed the ordinary way: an exception the JVM reported.
            boolean finished = status == 0 && child.output().contains("child done");
            boolean javaFailure = status == 1 && child.output().contains("Exception");
            if (!finished && !javaFailure) {
                problems.add(program + ": exit status " + status);
            }
            // What failed, if anything, is named in the log.
            if (!finished && !log.contains("loaded unchanged: ") && !log.contains("Never remapped")) {
                problems.add(program + ": failed, but the log names no class left unchanged");
            }
            System.out.println(program + ": exit status " + status
                    + (finished ? ", finished" : javaFailure ? ", Java exception" : "")
                    + ", warning lines: " + log.lines().filter(l -> l.contains("[warning]")).count());
        }
        problems.forEach(System.out::println);
        Support.check(problems.isEmpty(), problems.size() + " problems");
    }
}
