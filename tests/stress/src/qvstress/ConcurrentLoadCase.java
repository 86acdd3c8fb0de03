package qvstress;

import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.Map;
import java.util.Random;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicLong;
import java.util.concurrent.atomic.AtomicReference;
import qv.vantrel.quorvane.Quorvane;
import qv.vantrel.quorvane.remapper.Remap;

/**
 * Eight threads race to load the same few thousand generated classes, half of them
 * selected, while other threads keep editing filter entries that cover none of them.
 * Each selected class must reach remap exactly once and no other class at all.
 */
public final class ConcurrentLoadCase {
    private static final int ROUNDS = Support.size(4, 2);
    private static final int CLASSES_PER_SIDE = Support.size(1500, 400);
    private static final int LOADERS = 8;

    private ConcurrentLoadCase() {
    }

    public static void main(String[] args) throws Exception {
        Support.watchdog(150, "concurrent load");

        Map<String, Integer> remapped = new ConcurrentHashMap<>();
        AtomicReference<String> transformerFailure = new AtomicReference<>();
        Remap.setTransformer((name, bytes) -> {
            remapped.merge(name, 1, Integer::sum);
            return bytes.clone();
        });
        Remap.setFailureHandler((name, failure) -> transformerFailure.compareAndSet(null, name + ": " + failure));
        Support.check(Quorvane.addInclude("stress/sel/"), "addInclude failed");
        Support.check(Quorvane.initNative(), "initNative failed");

        List<List<String>> rounds = new ArrayList<>();
        List<String> selected = new ArrayList<>();
        List<String> unselected = new ArrayList<>();
        for (int r = 0; r < ROUNDS; r++) {
            List<String> round = new ArrayList<>();
            for (int i = 0; i < CLASSES_PER_SIDE; i++) {
                String in = String.format("stress/sel/R%dC%04d", r, i);
                // Nested names exercise the '$' rule on the unselected side as well.
                String out = i % 2 == 0 ? String.format("stress/unsel/R%dC%04d", r, i)
                        : String.format("stress/selx/R%dC%04d$N", r, i);
                selected.add(in);
                unselected.add(out);
                round.add(in);
                round.add(out);
            }
            rounds.add(round);
        }

        AtomicBoolean loading = new AtomicBoolean(true);
        AtomicLong edits = new AtomicLong();
        AtomicReference<Throwable> failure = new AtomicReference<>();
        List<Thread> editors = new ArrayList<>();
        for (int t = 0; t < 2; t++) {
            final int id = t;
            editors.add(new Thread(() -> {
                Random random = new Random(id);
                while (loading.get()) {
                    for (int i = 0; i < 16; i++) {
                        String entry = "churn/t" + id + "/p" + random.nextInt(64) + (random.nextBoolean() ? "/" : "/Cls");
                        boolean ok = random.nextBoolean()
                                ? (random.nextBoolean() ? Quorvane.addInclude(entry) : Quorvane.removeInclude(entry))
                                : (random.nextBoolean() ? Quorvane.addExclude(entry) : Quorvane.removeExclude(entry));
                        Support.check(ok, "filter edit refused: " + entry);
                        edits.incrementAndGet();
                    }
                    pause();
                }
            }, "editor-" + t));
        }
        // Excludes that come and go but cover nothing loaded: a package nobody uses and
        // a class-name entry that is only a prefix of the selected names' letters.
        editors.add(new Thread(() -> {
            while (loading.get()) {
                Quorvane.addExclude("stress/none/");
                Quorvane.addExclude("stress/sel/C");
                pause();
                Quorvane.removeExclude("stress/none/");
                Quorvane.removeExclude("stress/sel/C");
                edits.addAndGet(4);
            }
        }, "toggler"));
        editors.forEach(Thread::start);

        // Each round: all eight threads race through the same names in their own
        // order, on one parallel-capable loader, so each class is defined once.
        long began = System.nanoTime();
        for (List<String> round : rounds) {
            Support.ParallelLoader loader = new Support.ParallelLoader(name -> Support.classFile(name, false, 0));
            CountDownLatch start = new CountDownLatch(1);
            List<Thread> loaders = new ArrayList<>();
            for (int t = 0; t < LOADERS; t++) {
                final int id = t;
                Thread thread = new Thread(() -> {
                    List<String> order = new ArrayList<>(round);
                    Collections.shuffle(order, new Random(100 + id));
                    try {
                        start.await();
                        for (String name : order) {
                            Class<?> c = Class.forName(Support.binaryName(name), false, loader);
                            if (c.getClassLoader() != loader) {
                                throw new IllegalStateException("wrong loader for " + name);
                            }
                        }
                    } catch (Throwable e) {
                        failure.compareAndSet(null, e);
                    }
                }, "loader-" + t);
                loaders.add(thread);
                thread.start();
            }
            start.countDown();
            for (Thread thread : loaders) {
                thread.join();
            }
        }
        long loadMillis = (System.nanoTime() - began) / 1_000_000;
        loading.set(false);
        for (Thread thread : editors) {
            thread.join();
        }

        if (failure.get() != null) {
            failure.get().printStackTrace();
            Support.fail("a loader thread failed: " + failure.get());
        }
        Support.check(transformerFailure.get() == null, "transformer failed: " + transformerFailure.get());
        for (String name : selected) {
            Support.check(remapped.getOrDefault(name, 0) == 1, name + " reached remap " + remapped.get(name) + " times");
        }
        for (String name : unselected) {
            Support.check(!remapped.containsKey(name), name + " reached remap but is not selected");
        }
        Support.check(remapped.size() == selected.size(), "remap saw " + remapped.size() + " classes");

        List<String> lines = Support.checkLogWellFormed();
        Map<String, Integer> logged = Support.remappedInLog(lines);
        for (String name : selected) {
            Support.check(logged.getOrDefault(name, 0) == 1, name + " logged as remapped " + logged.get(name) + " times");
        }
        for (String name : unselected) {
            Support.check(Support.countLines(lines, "Skipped by filter: " + name) == 1, name + " not logged once as skipped");
        }
        System.out.println("concurrent load: " + (selected.size() + unselected.size()) + " classes on " + LOADERS + " threads in " + loadMillis
                + " ms, " + edits.get() + " filter edits meanwhile, " + lines.size() + " log lines, all well-formed");
    }

    private static void pause() {
        try {
            Thread.sleep(1);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }
}
