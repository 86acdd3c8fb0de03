package qvstress;

import java.io.ByteArrayOutputStream;
import java.io.DataOutputStream;
import java.io.IOException;
import java.io.UncheckedIOException;
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
            return taggedClass(name, "rewritten");
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
                    Support.ParallelLoader loader = new Support.ParallelLoader(name -> taggedClass(name, "original"));
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

    /**
     * A class with one method, {@code public static String tag()}, returning the given text: two
     * tags give two class files of the same shape, which retransformation accepts.
     */
    static byte[] taggedClass(String internalName, String tag) {
        try {
            ByteArrayOutputStream bytes = new ByteArrayOutputStream();
            DataOutputStream out = new DataOutputStream(bytes);
            out.writeInt(0xCAFEBABE);
            out.writeShort(0);
            out.writeShort(52);
            out.writeShort(10); // constant pool count: entries 1..9
            out.writeByte(1);
            out.writeUTF(internalName); // #1
            out.writeByte(7);
            out.writeShort(1); // #2 this class
            out.writeByte(1);
            out.writeUTF("java/lang/Object"); // #3
            out.writeByte(7);
            out.writeShort(3); // #4 super class
            out.writeByte(1);
            out.writeUTF("tag"); // #5
            out.writeByte(1);
            out.writeUTF("()Ljava/lang/String;"); // #6
            out.writeByte(1);
            out.writeUTF("Code"); // #7
            out.writeByte(1);
            out.writeUTF(tag); // #8
            out.writeByte(8);
            out.writeShort(8); // #9 the string
            out.writeShort(0x0021); // public super
            out.writeShort(2);
            out.writeShort(4);
            out.writeShort(0); // interfaces
            out.writeShort(0); // fields
            out.writeShort(1); // methods
            out.writeShort(0x0009); // public static
            out.writeShort(5);
            out.writeShort(6);
            out.writeShort(1);
            out.writeShort(7); // Code
            out.writeInt(15);
            out.writeShort(1); // max_stack
            out.writeShort(0); // max_locals
            out.writeInt(3);
            out.writeByte(0x12); // ldc #9
            out.writeByte(9);
            out.writeByte(0xB0); // areturn
            out.writeShort(0); // exception table
            out.writeShort(0); // attributes
            out.writeShort(0); // class attributes
            out.flush();
            return bytes.toByteArray();
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }
}
