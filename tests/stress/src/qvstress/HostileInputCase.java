package qvstress;

import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.Random;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.CyclicBarrier;
import java.util.concurrent.atomic.AtomicReference;
import qv.vantrel.quorvane.Quorvane;
import qv.vantrel.quorvane.remapper.Remap;

/**
 * Odd strings through the natives and odd results from the transformer. Entries must
 * be kept verbatim and compared byte for byte with the VM's modified UTF-8 names.
 */
public final class HostileInputCase {
    private static final Map<String, Integer> remapped = new ConcurrentHashMap<>();
    private static final int BIG_RESULT = 64 << 20;
    private static final int SHARING_THREADS = 8;
    private static final int LOADERS_PER_THREAD = 25;
    private static volatile byte[] shared;

    private HostileInputCase() {
    }

    public static void main(String[] args) throws Exception {
        Support.watchdog(150, "hostile input");
        Remap.setTransformer(HostileInputCase::transform);
        Remap.setFailureHandler((name, failure) -> Support.fail("transformer failed for " + name + ": " + failure));
        Support.check(Quorvane.initNative(), "initNative failed");

        nullAndHugeStrings();
        namesMatchByteForByte();
        garbageResult();
        bigResult();
        sharedResult();

        Support.checkLogWellFormed();
        System.out.println("hostile input: all cases passed");
    }

    private static void nullAndHugeStrings() {
        Support.check(!Quorvane.addInclude(null), "addInclude(null) accepted");
        Support.check(!Quorvane.addExclude(null), "addExclude(null) accepted");
        Support.check(!Quorvane.removeInclude(null), "removeInclude(null) accepted");
        Support.check(!Quorvane.removeExclude(null), "removeExclude(null) accepted");

        // An empty entry is stored but selects nothing.
        Support.check(Quorvane.addInclude(""), "addInclude(\"\") refused");
        Support.check(Quorvane.addExclude(""), "addExclude(\"\") refused");
        expect("hostile/empty/A", false);

        // 1 MiB entries, one of them 3 MiB in modified UTF-8, go in and out again.
        String ascii = "hostile/huge/" + "a".repeat(1 << 20) + "/";
        String wide = "hostile/huge/" + "\u20ac".repeat(1 << 20);
        for (String entry : List.of(ascii, wide)) {
            Support.check(Quorvane.addInclude(entry) && Quorvane.addExclude(entry), "1 MiB entry refused");
        }
        // The longest names a class file can carry (64 KiB of modified UTF-8) still match exactly.
        String longPackage = "hostile/long/" + "p".repeat(60_000) + "/";
        Support.check(Quorvane.addInclude(longPackage), "long entry refused");
        expect(longPackage + "Cls", true);
        expect("hostile/long/" + "p".repeat(59_999) + "/Cls", false);
        Support.check(Quorvane.removeInclude(longPackage), "long entry not removed");
        expect(longPackage + "Cls2", false);
        for (String entry : List.of(ascii, wide)) {
            Support.check(Quorvane.removeInclude(entry) && Quorvane.removeExclude(entry), "1 MiB entry not removed");
        }
        Support.check(Quorvane.removeInclude("") && Quorvane.removeExclude(""), "empty entry not removed");
    }

    private static void namesMatchByteForByte() {
        // U+0000 is C0 80 in modified UTF-8: a C string cut there would select ".../A".
        include("hostile/nul/A\0B");
        expect("hostile/nul/A\0B", true);
        expect("hostile/nul/A\0B$In", true);
        expect("hostile/nul/A", false);
        expect("hostile/nul/A\0C", false);

        // Lone surrogates are three bytes each; a pair is six (not four as in UTF-8).
        include("hostile/sur/X\uD800Y");
        include("hostile/sur/\uD83D\uDE00/");
        expect("hostile/sur/X\uD800Y", true);
        expect("hostile/sur/X\uDC00Y", false);
        expect("hostile/sur/\uD83D\uDE00/Smile", true);
        expect("hostile/sur/\uD83D\uDE01/Smile", false);
        Support.check(Quorvane.addExclude("hostile/sur/\uD83D\uDE00/Sad"), "exclude refused");
        expect("hostile/sur/\uD83D\uDE00/Sad", false);

        // Dotted entries are never turned into internal names.
        include("hostile.dot.D");
        include("hostile.dot/");
        expect("hostile/dot/D", false);
        include("hostile/dot/");
        Support.check(Quorvane.addExclude("hostile.dot.E"), "exclude refused");
        expect("hostile/dot/E", true);
    }

    private static void garbageResult() throws Exception {
        include("hostile/bad/");
        Support.ParallelLoader loader = new Support.ParallelLoader(name -> Support.classFile(name, false, 0));
        try {
            Class.forName("hostile.bad.Garbage", false, loader);
            Support.fail("garbage from the transformer was accepted");
        } catch (ClassFormatError expected) {
            System.out.println("garbage result: " + expected);
        }
        Support.check(remapped.get("hostile/bad/Garbage") == 1, "Garbage not remapped once");
        Class.forName("hostile.bad.Next", false, loader);
        Support.check(remapped.get("hostile/bad/Next") == 1, "the library stopped after a ClassFormatError");
    }

    private static void bigResult() throws Exception {
        include("hostile/big/");
        Class<?> huge = Class.forName("hostile.big.Huge", false,
                new Support.ParallelLoader(name -> Support.classFile(name, false, 0)));
        Support.check(huge.getField("remapped") != null, "the 64 MiB replacement was not used");
        List<String> lines = Support.logLines();
        Support.check(Support.countLines(lines, "Remapped: hostile/big/Huge (") == 1
                && Support.countLines(lines, " -> " + BIG_RESULT + " bytes)") == 1, "64 MiB result not logged");
    }

    private static void sharedResult() throws Exception {
        include("hostile/shared/");
        shared = Support.classFile("hostile/shared/Same", true, 4096);
        CyclicBarrier barrier = new CyclicBarrier(SHARING_THREADS);
        AtomicReference<Throwable> failure = new AtomicReference<>();
        List<Thread> threads = new ArrayList<>();
        for (int t = 0; t < SHARING_THREADS; t++) {
            Thread thread = new Thread(() -> {
                try {
                    for (int i = 0; i < LOADERS_PER_THREAD; i++) {
                        Support.ParallelLoader own = new Support.ParallelLoader(name -> Support.classFile(name, false, 0));
                        barrier.await();
                        Class<?> c = Class.forName("hostile.shared.Same", false, own);
                        if (c.getField("remapped") == null) {
                            throw new IllegalStateException("shared replacement not used");
                        }
                    }
                } catch (Throwable e) {
                    failure.compareAndSet(null, e);
                    barrier.reset();
                }
            }, "sharer-" + t);
            threads.add(thread);
            thread.start();
        }
        for (Thread thread : threads) {
            thread.join();
        }
        Support.check(failure.get() == null, "shared result: " + failure.get());
        Support.check(remapped.get("hostile/shared/Same") == SHARING_THREADS * LOADERS_PER_THREAD,
                "shared result remapped " + remapped.get("hostile/shared/Same") + " times");
    }

    private static byte[] transform(String name, byte[] bytes) {
        remapped.merge(name, 1, Integer::sum);
        if (name.equals("hostile/bad/Garbage")) {
            byte[] garbage = new byte[64];
            new Random(7).nextBytes(garbage);
            return garbage;
        }
        if (name.equals("hostile/big/Huge")) {
            return Support.classFile(name, true, BIG_RESULT);
        }
        if (name.equals("hostile/shared/Same")) {
            return shared;
        }
        return bytes;
    }

    private static void include(String entry) {
        Support.check(Quorvane.addInclude(entry), "addInclude refused " + entry);
    }

    /** Loads a fresh class of that internal name and checks whether remap saw it. */
    private static void expect(String internalName, boolean selected) {
        try {
            remapped.remove(internalName);
            Class.forName(Support.binaryName(internalName), false,
                    new Support.ParallelLoader(name -> Support.classFile(name, false, 0)));
        } catch (ClassNotFoundException e) {
            Support.fail("could not load " + printable(internalName) + ": " + e);
        }
        boolean seen = remapped.containsKey(internalName);
        Support.check(seen == selected, printable(internalName) + (selected ? " not selected" : " selected"));
        List<String> lines = Support.logLines();
        String logName = Support.asLogBytes(internalName);
        boolean named = selected
                ? lines.stream().anyMatch(l -> l.contains("] [Quorvane] Remapped: " + logName + " ("))
                : lines.stream().anyMatch(l -> l.endsWith("] [Quorvane] Skipped by filter: " + logName));
        Support.check(named, "log does not name " + printable(internalName) + " byte for byte");
    }

    private static String printable(String s) {
        StringBuilder out = new StringBuilder();
        int shown = 0;
        for (char c : s.toCharArray()) {
            if (shown++ > 80) {
                return out.append("...(").append(s.length()).append(" chars)").toString();
            }
            out.append(c >= 0x20 && c < 0x7f ? String.valueOf(c) : String.format("\\u%04X", (int) c));
        }
        return out.toString();
    }
}
