package qvbench.retransform;

import java.io.IOException;
import java.lang.instrument.ClassFileTransformer;
import java.lang.instrument.Instrumentation;
import java.lang.management.ManagementFactory;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.security.ProtectionDomain;
import java.util.ArrayList;
import java.util.HashSet;
import java.util.List;
import java.util.Set;
import qv.vantrel.quorvane.Quorvane;
import qv.vantrel.quorvane.remapper.Remap;
import qvbench.LoadBench;
import qvbench.retransform.agent.BenchAgent;

/**
 * One benchmark JVM. It defines the agent benchmark's class corpus (4,096 classes) in one
 * loader, so that about 5,000 classes are loaded with the JDK's own, and selects 500 of them
 * (250 classes and their nested Part). Then it times retransforming those 500, call after
 * call, by one of two routes:
 *
 * <ul>
 *   <li>{@code quorvane}: {@code Quorvane.initNative()} after the corpus has loaded (the
 *       classes were loaded before it, which is what retransformation is for), one include
 *       entry per selected class and an identity transformer. Each round times
 *       {@code retransformLoaded()}, which finds the 500 among all loaded classes, and
 *       {@code retransform(the 500)}, which is handed them, in alternating order.
 *   <li>{@code agent}: the JDK's route, a {@code -javaagent}'s {@code Instrumentation} with a
 *       retransform-capable transformer that copies the bytes of the 500 (as the agent
 *       benchmark's B does). Each round times {@code retransformClasses(the 500)}.
 * </ul>
 *
 * <p>Each measured call is checked to have retransformed the 500 and is reported on standard
 * error as {@code @@ <call> <wall ns> <process cpu ns>}; the redefinition itself runs on
 * the VM thread, so the CPU figure is that of every thread of the JVM. Standard output is the library's
 * console log.
 *
 * <p>Usage: {@code RetransformBench --route quorvane|agent --corpus <jar> [--warmup N] [--rounds N]}
 */
public final class RetransformBench {
    private static final int SELECTED_CLASSES = 250;

    private RetransformBench() {
    }

    /** Defines corpus classes directly from memory. */
    private static final class CorpusLoader extends ClassLoader {
        CorpusLoader() {
            super(ClassLoader.getPlatformClassLoader());
        }

        Class<?> define(String name, byte[] b) {
            return defineClass(name, b, 0, b.length);
        }
    }

    private interface Call {
        int run() throws Exception;
    }

    public static void main(String[] args) throws Exception {
        String route = null;
        String corpus = null;
        int warmup = 5;
        int rounds = 15;
        for (int i = 0; i < args.length; i++) {
            switch (args[i]) {
                case "--route" -> route = args[++i];
                case "--corpus" -> corpus = args[++i];
                case "--warmup" -> warmup = Integer.parseInt(args[++i]);
                case "--rounds" -> rounds = Integer.parseInt(args[++i]);
                default -> throw new IllegalArgumentException("unknown argument " + args[i]);
            }
        }
        if (route == null || corpus == null) {
            throw new IllegalArgumentException("usage: --route quorvane|agent --corpus <jar> [--warmup N] [--rounds N]");
        }

        List<Class<?>> loaded = defineCorpus(corpus);
        List<Class<?>> selected = new ArrayList<>();
        Set<String> includes = new HashSet<>();
        for (Class<?> type : loaded) {
            String name = type.getName();
            if (selected.size() < 2 * SELECTED_CLASSES && name.startsWith("com.acme.orders.") && name.indexOf('$') < 0) {
                includes.add(name.replace('.', '/'));
                selected.add(type);
                selected.add(Class.forName(name + "$Part", false, type.getClassLoader()));
            }
        }
        Class<?>[] chosen = selected.toArray(new Class<?>[0]);
        int want = chosen.length;
        System.err.println("@@ setup " + route + " loaded=" + ManagementFactory.getClassLoadingMXBean().getLoadedClassCount()
                + " selected=" + want);

        List<String> kinds = new ArrayList<>();
        List<Call> calls = new ArrayList<>();
        if (route.equals("quorvane")) {
            for (String entry : includes) {
                Quorvane.addInclude(entry);
            }
            Remap.setTransformer((name, bytes) -> bytes);
            if (!Quorvane.initNative()) {
                throw new IllegalStateException("initNative failed; see libagent.log");
            }
            kinds.add("loaded");
            calls.add(Quorvane::retransformLoaded);
            kinds.add("given");
            calls.add(() -> Quorvane.retransform(chosen));
        } else if (route.equals("agent")) {
            Instrumentation inst = BenchAgent.instrumentation();
            if (inst == null || !inst.isRetransformClassesSupported()) {
                throw new IllegalStateException("run with -javaagent: the bench agent jar (Can-Retransform-Classes)");
            }
            Set<String> names = new HashSet<>();
            for (Class<?> type : chosen) {
                names.add(type.getName().replace('.', '/'));
            }
            int[] copies = new int[1];
            inst.addTransformer(new ClassFileTransformer() {
                @Override
                public byte[] transform(ClassLoader loader, String className, Class<?> classBeingRedefined,
                        ProtectionDomain protectionDomain, byte[] classfileBuffer) {
                    if (className == null || !names.contains(className)) {
                        return null;
                    }
                    copies[0]++;
                    return classfileBuffer.clone();
                }
            }, true);
            kinds.add("agent");
            calls.add(() -> {
                int before = copies[0];
                inst.retransformClasses(chosen);
                return copies[0] - before;
            });
        } else {
            throw new IllegalArgumentException("unknown route " + route);
        }

        for (int round = 0; round < warmup + rounds; round++) {
            System.gc();
            for (int k = 0; k < calls.size(); k++) {
                int index = (k + round) % calls.size();
                long cpu0 = processCpuNanos();
                long wall0 = System.nanoTime();
                int done = calls.get(index).run();
                long wall1 = System.nanoTime();
                long cpu1 = processCpuNanos();
                if (done != want) {
                    throw new IllegalStateException(kinds.get(index) + " retransformed " + done + " classes, not " + want);
                }
                if (round >= warmup) {
                    System.err.println("@@ " + kinds.get(index) + " " + (wall1 - wall0) + " " + (cpu1 - cpu0));
                }
            }
        }
    }

    /**
     * CPU time of every thread of this JVM, to the nanosecond, from /proc/self/task/{id}/schedstat
     * (the JMX figure only counts in 10 ms steps). A thread that ends between two readings takes
     * its time with it; the JVMs here keep theirs.
     */
    private static long processCpuNanos() throws IOException {
        long total = 0;
        try (DirectoryStream<Path> tasks = Files.newDirectoryStream(Paths.get("/proc/self/task"))) {
            for (Path task : tasks) {
                try {
                    String stat = Files.readString(task.resolve("schedstat"));
                    total += Long.parseLong(stat.substring(0, stat.indexOf(' ')));
                } catch (NoSuchFileException ended) {
                    // The thread ended while the folder was read.
                }
            }
        }
        return total;
    }

    /** Defines every corpus class, in name order, through one loader; returns them. */
    private static List<Class<?>> defineCorpus(String jar) throws IOException {
        List<String> names = new ArrayList<>();
        List<byte[]> bytes = new ArrayList<>();
        LoadBench.readCorpus(jar, names, bytes);
        CorpusLoader loader = new CorpusLoader();
        List<Class<?>> classes = new ArrayList<>();
        for (int i = 0; i < names.size(); i++) {
            classes.add(loader.define(names.get(i), bytes.get(i)));
        }
        return classes;
    }
}
