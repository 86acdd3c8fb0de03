package qvstress;

import java.lang.instrument.ClassFileTransformer;
import java.lang.instrument.Instrumentation;
import java.security.ProtectionDomain;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.Map;
import java.util.Random;
import java.util.Set;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicReference;
import qv.vantrel.quorvane.Quorvane;

/**
 * Quorvane's Instrumentation under load: four threads race to load the same generated
 * classes while other transformers of both kinds are added and removed; the two
 * transformers registered throughout see every class exactly once, the others at most
 * once. Then the list of loaded classes, thousands long, and a detach while transformers
 * run: no class whose load starts after detach() returned reaches a transformer.
 */
public final class InstrumentationLoadCase {
    private static final int ROUNDS = Support.size(4, 2);
    private static final int CLASSES_PER_ROUND = Support.size(1500, 300);
    private static final int LOADERS = 4;

    private InstrumentationLoadCase() {
    }

    /** Counts the classes of the case it sees; several calls for one class are a failure. */
    static final class Counter implements ClassFileTransformer {
        final Map<String, Integer> seen = new ConcurrentHashMap<>();

        @Override
        public byte[] transform(ClassLoader loader, String name, Class<?> redefined, ProtectionDomain domain,
                byte[] bytes) {
            if (name != null && name.startsWith("istress/")) {
                seen.merge(name, 1, Integer::sum);
                return bytes.clone();
            }
            return null;
        }

        void checkAtMostOnce(String who) {
            seen.forEach((name, count) -> Support.check(count == 1, who + " saw " + name + " " + count + " times"));
        }
    }

    public static void main(String[] args) throws Exception {
        Support.watchdog(150, "instrumentation under load");
        Instrumentation inst = Quorvane.instrumentation();
        Counter plain = new Counter();
        Counter retransformable = new Counter();
        inst.addTransformer(plain);
        inst.addTransformer(retransformable, true);

        AtomicBoolean loading = new AtomicBoolean(true);
        List<Counter> churned = Collections.synchronizedList(new ArrayList<>());
        Thread churn = new Thread(() -> {
            Random random = new Random(7);
            while (loading.get()) {
                Counter counter = new Counter();
                boolean canRetransform = random.nextBoolean();
                inst.addTransformer(counter, canRetransform);
                churned.add(counter);
                Thread.yield();
                Support.check(inst.removeTransformer(counter), "a churned transformer was not registered");
            }
        }, "churn");
        churn.start();

        List<String> all = new ArrayList<>();
        for (int r = 0; r < ROUNDS; r++) {
            List<String> round = new ArrayList<>();
            for (int i = 0; i < CLASSES_PER_ROUND; i++) {
                round.add(String.format("istress/R%dC%04d", r, i));
            }
            all.addAll(round);
            loadRacing(round, null, null);
        }
        loading.set(false);
        churn.join();

        for (String name : all) {
            Support.check(plain.seen.getOrDefault(name, 0) == 1, "plain transformer: " + name + " " + plain.seen.get(name));
            Support.check(retransformable.seen.getOrDefault(name, 0) == 1,
                    "retransformable transformer: " + name + " " + retransformable.seen.get(name));
        }
        Support.check(plain.seen.size() == all.size(), "the plain transformer saw " + plain.seen.size() + " classes");
        for (Counter counter : churned) {
            counter.checkAtMostOnce("a churned transformer");
        }
        int listed = inst.getAllLoadedClasses().length;
        Support.check(listed > all.size(), "getAllLoadedClasses() listed " + listed + " classes");

        detachWhileTransforming(inst);
        System.out.println("instrumentation under load: " + all.size() + " classes each seen once by both, "
                + churned.size() + " churned transformers, " + listed + " classes listed, detach under load");
    }

    // Four threads race through the same names in their own order on one parallel-capable
    // loader, so each class is defined once. With `after`, each thread loads a quarter of
    // the names instead, so that a name's load begins on one thread only, and the names
    // whose load began once `after` was set are collected in startedAfter.
    private static void loadRacing(List<String> names, AtomicBoolean after, Set<String> startedAfter)
            throws InterruptedException {
        Support.ParallelLoader loader = new Support.ParallelLoader(name -> Support.classFile(name, false, 0));
        CountDownLatch start = new CountDownLatch(1);
        AtomicReference<Throwable> failure = new AtomicReference<>();
        List<Thread> threads = new ArrayList<>();
        for (int t = 0; t < LOADERS; t++) {
            final int id = t;
            Thread thread = new Thread(() -> {
                List<String> order = new ArrayList<>();
                for (int i = 0; i < names.size(); i++) {
                    if (after == null || i % LOADERS == id) {
                        order.add(names.get(i));
                    }
                }
                Collections.shuffle(order, new Random(100 + id));
                try {
                    start.await();
                    for (String name : order) {
                        if (after != null && after.get()) {
                            startedAfter.add(name);
                        }
                        Class.forName(Support.binaryName(name), false, loader);
                    }
                } catch (Throwable e) {
                    failure.compareAndSet(null, e);
                }
            }, "loader-" + t);
            threads.add(thread);
            thread.start();
        }
        start.countDown();
        for (Thread thread : threads) {
            thread.join();
        }
        if (failure.get() != null) {
            failure.get().printStackTrace();
            Support.fail("a loader thread failed: " + failure.get());
        }
    }

    private static void detachWhileTransforming(Instrumentation inst) throws Exception {
        Set<String> seen = ConcurrentHashMap.newKeySet();
        ClassFileTransformer slow = new ClassFileTransformer() {
            @Override
            public byte[] transform(ClassLoader loader, String name, Class<?> redefined, ProtectionDomain domain,
                    byte[] bytes) {
                if (name != null && name.startsWith("istress/")) {
                    seen.add(name);
                    Thread.onSpinWait();
                    return bytes.clone();
                }
                return null;
            }
        };
        inst.addTransformer(slow);
        inst.addTransformer(slow, true);
        List<String> names = new ArrayList<>();
        for (int i = 0; i < CLASSES_PER_ROUND; i++) {
            names.add(String.format("istress/D%04d", i));
        }
        AtomicBoolean detached = new AtomicBoolean();
        Set<String> startedAfter = ConcurrentHashMap.newKeySet();
        Thread detacher = new Thread(() -> {
            while (seen.size() < names.size() / 4) {
                Thread.onSpinWait();
            }
            Quorvane.detach();
            detached.set(true);
        }, "detacher");
        detacher.start();
        loadRacing(names, detached, startedAfter);
        detacher.join();
        for (String name : startedAfter) {
            Support.check(!seen.contains(name), name + " reached a transformer after detach() returned");
        }
        try {
            inst.addTransformer(slow);
            Support.fail("addTransformer after detach did not throw");
        } catch (IllegalStateException expected) {
            Support.check(expected.getMessage().contains("this copy of Quorvane was detached"), expected.getMessage());
        }
    }
}
