package qvbench;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Enumeration;
import java.util.List;
import java.util.concurrent.CyclicBarrier;
import java.util.zip.ZipEntry;
import java.util.zip.ZipFile;

/**
 * One benchmark JVM: holds the corpus in memory and, on each "round" read from
 * standard input, defines every corpus class through fresh class loaders and answers
 * on standard error with {@code @@ <wall ns> <thread cpu ns> <classes>}. Standard
 * output is left to the library's log.
 *
 * <p>Usage: {@code LoadBench --corpus <jar> [--threads N] [--lib none|selected|many]
 * [--instrumentation copy|none] [--once]}
 */
public final class LoadBench {
    private static final ThreadMXBean THREADS = ManagementFactory.getThreadMXBean();

    private final List<String> names = new ArrayList<>();
    private final List<byte[]> bytes = new ArrayList<>();
    private final int threads;

    private LoadBench(int threads) {
        this.threads = threads;
    }

    /** A loader that defines corpus classes directly, so that no lookup cost hides in the floor. */
    private static final class CorpusLoader extends ClassLoader {
        CorpusLoader() {
            super(ClassLoader.getPlatformClassLoader());
        }

        Class<?> define(String name, byte[] b) {
            return defineClass(name, b, 0, b.length);
        }
    }

    public static void main(String[] args) throws Exception {
        String corpus = null;
        String lib = null;
        String instrumentation = null;
        int threads = 1;
        boolean once = false;
        for (int i = 0; i < args.length; i++) {
            switch (args[i]) {
                case "--corpus":
                    corpus = args[++i];
                    break;
                case "--threads":
                    threads = Integer.parseInt(args[++i]);
                    break;
                case "--lib":
                    lib = args[++i];
                    break;
                case "--instrumentation":
                    instrumentation = args[++i];
                    break;
                case "--once":
                    once = true;
                    break;
                default:
                    throw new IllegalArgumentException("unknown argument " + args[i]);
            }
        }
        LoadBench bench = new LoadBench(threads);
        bench.read(corpus);
        if (lib != null) {
            LibSetup.start(lib);
        }
        if (instrumentation != null) {
            LibSetup.startInstrumentation(instrumentation);
        }
        if (!THREADS.isCurrentThreadCpuTimeSupported()) {
            throw new IllegalStateException("no thread CPU time on this JVM");
        }
        if (once) {
            long[] r = bench.round();
            System.err.println("@@ " + r[0] + " " + r[1] + " " + bench.names.size() + " copied=" + agentCopies());
            return;
        }
        System.err.println("@@ ready " + bench.names.size());
        BufferedReader in = new BufferedReader(new InputStreamReader(System.in, StandardCharsets.UTF_8));
        for (String line = in.readLine(); line != null && !line.equals("quit"); line = in.readLine()) {
            System.gc();
            long[] r = bench.round();
            System.err.println("@@ " + r[0] + " " + r[1] + " " + bench.names.size());
        }
    }

    /** The JDK-route agent's count when it is on the class path's system loader, else -1. */
    private static long agentCopies() {
        try {
            return (Long) Class.forName("qvbench.agent.CopyAgent").getMethod("copied").invoke(null);
        } catch (ReflectiveOperationException | LinkageError absent) {
            return -1;
        }
    }

    private void read(String jar) throws IOException {
        readCorpus(jar, names, bytes);
    }

    /** Appends the binary name and the bytes of each class of the corpus jar, in name order. */
    public static void readCorpus(String jar, List<String> names, List<byte[]> bytes) throws IOException {
        try (ZipFile zip = new ZipFile(jar)) {
            List<ZipEntry> entries = new ArrayList<>();
            for (Enumeration<? extends ZipEntry> e = zip.entries(); e.hasMoreElements();) {
                ZipEntry entry = e.nextElement();
                if (entry.getName().endsWith(".class")) {
                    entries.add(entry);
                }
            }
            entries.sort((a, b) -> a.getName().compareTo(b.getName()));
            for (ZipEntry entry : entries) {
                String n = entry.getName();
                names.add(n.substring(0, n.length() - ".class".length()).replace('/', '.'));
                bytes.add(zip.getInputStream(entry).readAllBytes());
            }
        }
    }

    /** Returns {wall ns, summed thread CPU ns} of defining the whole corpus once. */
    private long[] round() throws Exception {
        if (threads == 1) {
            CorpusLoader loader = new CorpusLoader();
            long cpu0 = THREADS.getCurrentThreadCpuTime();
            long wall0 = System.nanoTime();
            for (int i = 0; i < names.size(); i++) {
                loader.define(names.get(i), bytes.get(i));
            }
            long wall1 = System.nanoTime();
            long cpu1 = THREADS.getCurrentThreadCpuTime();
            return new long[] {wall1 - wall0, cpu1 - cpu0};
        }
        long[][] spans = new long[threads][];
        CyclicBarrier start = new CyclicBarrier(threads);
        Thread[] workers = new Thread[threads];
        Throwable[] failure = new Throwable[1];
        for (int t = 0; t < threads; t++) {
            final int slice = t;
            workers[t] = new Thread(() -> {
                try {
                    CorpusLoader loader = new CorpusLoader();
                    start.await();
                    long cpu0 = THREADS.getCurrentThreadCpuTime();
                    long wall0 = System.nanoTime();
                    for (int i = slice; i < names.size(); i += threads) {
                        loader.define(names.get(i), bytes.get(i));
                    }
                    long wall1 = System.nanoTime();
                    long cpu1 = THREADS.getCurrentThreadCpuTime();
                    spans[slice] = new long[] {wall0, wall1, cpu1 - cpu0};
                } catch (Exception | Error e) {
                    failure[0] = e;
                }
            });
            workers[t].start();
        }
        for (Thread w : workers) {
            w.join();
        }
        if (failure[0] != null) {
            throw new IllegalStateException("a loading thread failed", failure[0]);
        }
        long first = Long.MAX_VALUE;
        long last = Long.MIN_VALUE;
        long cpu = 0;
        for (long[] s : spans) {
            first = Math.min(first, s[0]);
            last = Math.max(last, s[1]);
            cpu += s[2];
        }
        return new long[] {last - first, cpu};
    }
}
