package qvstress;

import java.io.IOException;
import java.lang.management.ManagementFactory;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import javax.management.ObjectName;
import qv.vantrel.quorvane.Quorvane;
import qv.vantrel.quorvane.remapper.Remap;

/**
 * 20,000 selected classes through the whole hook path must leave nothing behind:
 * no JNI local references (-Xcheck:jni would warn about the frame's capacity) and no
 * native memory beyond the classes themselves, which are unloaded round by round.
 *
 * <p>A child JVM does the loading so that this one can read everything -Xcheck:jni
 * printed. Each class file carries 16 KiB of padding: a copy of the class data kept
 * per class (an unreleased array, a JVMTI buffer never handed over) would add
 * hundreds of MiB, far beyond the generous bound checked here.
 */
public final class LeakCase {
    private static final int ROUNDS = 8;
    private static final int CLASSES_PER_ROUND = 2_500;
    private static final int CLASS_SIZE = 16 << 10;
    private static final long GROWTH_BOUND_KIB = 96 << 10;

    private LeakCase() {
    }

    public static void main(String[] args) throws Exception {
        if (args.length > 0 && args[0].equals("child")) {
            child();
            return;
        }
        Support.watchdog(270, "leak check");
        Path output = Paths.get("child-output.txt");
        List<String> command = Support.childJvm(List.of("-Xms256m", "-Xmx256m", "-XX:+AlwaysPreTouch",
                "-XX:NativeMemoryTracking=summary", "-XX:ErrorFile=child-hs_err_pid%p.log"), "qvstress.LeakCase", "child");
        Process child = new ProcessBuilder(command).redirectErrorStream(true).redirectOutput(output.toFile()).start();
        Support.check(child.waitFor(240, TimeUnit.SECONDS), "child JVM did not finish");
        List<String> lines = Files.readAllLines(output, StandardCharsets.ISO_8859_1);
        lines.stream().filter(l -> l.startsWith("leak:") || l.startsWith("FAIL")).forEach(System.out::println);
        Support.check(child.exitValue() == 0, "child JVM exited with " + child.exitValue());
        List<String> complaints = Support.jniComplaints(output);
        Support.check(complaints.isEmpty(), "-Xcheck:jni complained: " + complaints);
        try (var files = Files.list(Paths.get("."))) {
            Support.check(files.noneMatch(p -> p.getFileName().toString().contains("hs_err")), "child JVM crashed");
        }
    }

    private static void child() throws Exception {
        AtomicInteger remapped = new AtomicInteger();
        Remap.setTransformer((name, bytes) -> {
            remapped.incrementAndGet();
            return bytes;
        });
        Remap.setFailureHandler((name, failure) -> Support.fail("transformer failed for " + name + ": " + failure));
        Support.check(Quorvane.addInclude("leak/sel/"), "addInclude failed");
        Support.check(Quorvane.initNative(), "initNative failed");

        long[] rss = new long[ROUNDS];
        long[] committed = new long[ROUNDS];
        for (int round = 0; round < ROUNDS; round++) {
            final int r = round;
            Support.ParallelLoader loader = new Support.ParallelLoader(name -> Support.classFile(name, false, CLASS_SIZE));
            for (int i = 0; i < CLASSES_PER_ROUND; i++) {
                Class.forName(String.format("leak.sel.R%dC%05d", r, i), false, loader);
            }
            loader = null;
            settle();
            rss[round] = rssKib();
            committed[round] = nmtCommittedKib();
            System.out.printf("leak: round %d: %d classes remapped, RSS %d KiB, NMT committed %d KiB, unloaded %d%n",
                    round + 1, remapped.get(), rss[round], committed[round],
                    ManagementFactory.getClassLoadingMXBean().getUnloadedClassCount());
        }
        Support.check(remapped.get() == ROUNDS * CLASSES_PER_ROUND, "remapped " + remapped.get() + " classes");
        Support.check(ManagementFactory.getClassLoadingMXBean().getUnloadedClassCount() >= (ROUNDS - 1) * CLASSES_PER_ROUND,
                "classes were not unloaded, the measure means nothing");
        // Round 1 pays for warm-up (code, metaspace chunks); compare what follows.
        long rssGrowth = rss[ROUNDS - 1] - rss[1];
        long nmtGrowth = committed[ROUNDS - 1] - committed[1];
        long passedKib = (long) (ROUNDS - 2) * CLASSES_PER_ROUND * CLASS_SIZE / 1024;
        System.out.printf("leak: after warm-up, %d KiB of class data through the hook; RSS grew %d KiB, NMT committed grew %d KiB%n",
                passedKib, rssGrowth, nmtGrowth);
        System.out.println(nmtSummary());
        Support.check(rssGrowth < GROWTH_BOUND_KIB, "RSS grew " + rssGrowth + " KiB");
        Support.check(nmtGrowth < GROWTH_BOUND_KIB, "NMT committed grew " + nmtGrowth + " KiB");
    }

    private static void settle() throws InterruptedException {
        for (int i = 0; i < 3; i++) {
            System.gc();
            Thread.sleep(50);
        }
    }

    private static long rssKib() throws IOException {
        for (String line : Files.readAllLines(Paths.get("/proc/self/status"))) {
            if (line.startsWith("VmRSS:")) {
                return Long.parseLong(line.replaceAll("[^0-9]", ""));
            }
        }
        throw new IllegalStateException("no VmRSS");
    }

    private static String nmtSummary() throws Exception {
        return (String) ManagementFactory.getPlatformMBeanServer().invoke(
                new ObjectName("com.sun.management:type=DiagnosticCommand"), "vmNativeMemory",
                new Object[] {new String[] {"summary"}}, new String[] {String[].class.getName()});
    }

    private static long nmtCommittedKib() throws Exception {
        Matcher m = Pattern.compile("Total: reserved=\\d+KB, committed=(\\d+)KB").matcher(nmtSummary());
        Support.check(m.find(), "no NMT total");
        return Long.parseLong(m.group(1));
    }
}
