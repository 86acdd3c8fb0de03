package qvstress;

import java.util.ArrayList;
import java.util.List;
import java.util.Random;
import java.util.Set;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicReference;
import qv.vantrel.quorvane.Quorvane;
import qv.vantrel.quorvane.remapper.Remap;

/**
 * retransformLoaded() on two threads at once while four threads load classes and another one
 * edits the filters (and calls initNative again now and then). Nothing may be refused or crash;
 * once all is quiet, one more retransformLoaded() must leave every class as a fresh load under
 * the final filters would: rewritten when selected, original when not.
 */
public final class RetransformRaceCase {
    private static final int LOADERS = 4;
    private static final int MIN_CLASSES = 500;
    private static final int MAX_CLASSES = 2500;
    private static final int RACING_ROUNDS = 6;
    private static final int PACKAGES = 8;

    private RetransformRaceCase() {
    }

    public static void main(String[] args) throws Exception {
        Support.watchdog(240, "retransformLoaded racing with class loading and filter edits");
        Set<String> replaced = ConcurrentHashMap.newKeySet();
        Remap.setTransformer((name, bytes) -> {
            replaced.add(name);
            return Support.taggedClass(name, "rewritten");
        });
        Remap.setFailureHandler((name, failure) -> Support.fail("transformer failed for " + name + ": " + failure));
        Support.check(Quorvane.initNative(), "initNative failed");

        AtomicBoolean loading = new AtomicBoolean(true);
        AtomicInteger rounds = new AtomicInteger();
        AtomicReference<Throwable> failure = new AtomicReference<>();
        List<List<Class<?>>> loaded = new ArrayList<>();
        List<Thread> loaders = new ArrayList<>();
        for (int t = 0; t < LOADERS; t++) {
            List<Class<?>> mine = new ArrayList<>();
            loaded.add(mine);
            int id = t;
            loaders.add(new Thread(() -> {
                try {
                    Support.ParallelLoader loader = new Support.ParallelLoader(name -> Support.taggedClass(name, "original"));
                    for (int c = 0; c < MAX_CLASSES && (c < MIN_CLASSES || rounds.get() < RACING_ROUNDS); c++) {
                        mine.add(Class.forName(String.format("race.p%d.L%dC%04d", c % PACKAGES, id, c), false, loader));
                    }
                } catch (Throwable e) {
                    failure.compareAndSet(null, e);
                }
            }, "loader-" + t));
        }
        List<Thread> others = new ArrayList<>();
        for (int t = 0; t < 2; t++) {
            others.add(new Thread(() -> {
                while (loading.get()) {
                    try {
                        Quorvane.retransformLoaded();
                        rounds.incrementAndGet();
                    } catch (Throwable e) {
                        failure.compareAndSet(null, e);
                        return;
                    }
                }
            }, "retransformer-" + t));
        }
        others.add(new Thread(() -> {
            Random random = new Random(11);
            for (int edit = 0; loading.get(); edit++) {
                String entry = "race/p" + random.nextInt(PACKAGES) + "/";
                switch (random.nextInt(4)) {
                    case 0 -> Quorvane.addInclude(entry);
                    case 1 -> Quorvane.removeInclude(entry);
                    case 2 -> Quorvane.addExclude(entry);
                    default -> Quorvane.removeExclude(entry);
                }
                if (edit % 100 == 99 && !Quorvane.initNative()) {
                    failure.compareAndSet(null, new IllegalStateException("initNative failed while racing"));
                }
                Thread.onSpinWait();
            }
        }, "editor"));
        others.forEach(Thread::start);
        loaders.forEach(Thread::start);
        for (Thread t : loaders) {
            t.join();
        }
        loading.set(false);
        for (Thread t : others) {
            t.join();
        }
        if (failure.get() != null) {
            failure.get().printStackTrace();
            Support.fail("while racing: " + failure.get());
        }
        Support.check(rounds.get() >= 2, "retransformLoaded ran only " + rounds.get() + " times while loading");

        Quorvane.clearIncludes();
        Quorvane.clearExcludes();
        for (String entry : List.of("race/p0/", "race/p1/", "race/p2/", "race/p5/")) {
            Quorvane.addInclude(entry);
        }
        Quorvane.addExclude("race/p1/");
        int count = Quorvane.retransformLoaded();

        int expectedCount = 0;
        int classes = 0;
        for (List<Class<?>> mine : loaded) {
            for (Class<?> type : mine) {
                String name = type.getName().replace('.', '/');
                boolean selected = name.matches("race/p[025]/.*");
                expectedCount += selected || replaced.contains(name) ? 1 : 0;
                String tag = (String) type.getMethod("tag").invoke(null);
                Support.check(tag.equals(selected ? "rewritten" : "original"), name + " ended " + tag);
                classes++;
            }
        }
        Support.check(count == expectedCount, "final retransformLoaded() gave " + count + ", expected " + expectedCount);
        Support.checkLogWellFormed();
        System.out.println("retransform race: " + classes + " classes, " + rounds.get()
                + " racing rounds, final round " + count + " classes, each as a fresh load would be");
    }
}
