package qvobserve;

import static qvobserve.Observed.ALPHA;
import static qvobserve.Observed.BETA;
import static qvobserve.Observed.GAMMA;
import static qvobserve.Observed.check;

import java.lang.instrument.ClassFileTransformer;
import java.lang.instrument.Instrumentation;
import java.lang.management.ManagementFactory;
import java.net.URLClassLoader;
import java.security.ProtectionDomain;
import java.util.List;
import java.util.Map;
import javax.management.JMX;
import javax.management.ObjectName;
import jdk.jfr.Recording;
import jdk.jfr.consumer.RecordedEvent;
import qv.vantrel.quorvane.Quorvane;
import qv.vantrel.quorvane.management.TransformerInfo;
import qv.vantrel.quorvane.management.TransformersMXBean;
import qv.vantrel.quorvane.remapper.Remap;

/**
 * A recording started in the application loads the fixtures through both routes (Remap
 * with a filter; on the Instrumentation a throwing transformer and a changing one) and
 * retransforms one: one ClassTransform event per call with its fields and a duration,
 * the statistics at the end, and the MXBean's counts agreeing (read as composite data, as
 * JConsole does, and through a proxy of its interface; registered once the platform MBean
 * server is made, which Quorvane does not do itself). Then what costs nothing:
 * a recording that does not enable the event gets none, and Remap's path allocates
 * nothing while no recording wants it. Last, detach() takes the MXBean and the
 * statistics away.
 */
public final class RecordCase {
    private static final int CALLS = 100_000;

    private RecordCase() {
    }

    /** Hands back a copy of every fixture's class file: a change, as far as the JVM knows. */
    static final class Changing implements ClassFileTransformer {
        @Override
        public byte[] transform(ClassLoader loader, String name, Class<?> redefined, ProtectionDomain domain,
                byte[] classFile) {
            return Observed.isFixture(name) ? classFile.clone() : null;
        }
    }

    /** Throws for every fixture. */
    static final class Throwing implements ClassFileTransformer {
        @Override
        public byte[] transform(ClassLoader loader, String name, Class<?> redefined, ProtectionDomain domain,
                byte[] classFile) {
            if (Observed.isFixture(name)) {
                throw new IllegalStateException("refused " + name);
            }
            return null;
        }
    }

    public static void main(String[] args) {
        Observed.run("record", args, a -> {
            Recording recording = Recordings.start(true);
            Quorvane.addInclude(ALPHA);
            Quorvane.addInclude(BETA);
            Remap.setTransformer(new Observed.Greeting());
            check(Quorvane.initNative(), "initNative failed");
            Instrumentation inst = Quorvane.instrumentation();
            inst.addTransformer(new Throwing());
            inst.addTransformer(new Changing(), true);
            URLClassLoader loader = Observed.fixtures();
            Class<?> alpha = loader.loadClass("qvobserve.fix.Alpha");
            loader.loadClass("qvobserve.fix.Beta");
            loader.loadClass("qvobserve.fix.Gamma");
            check(Observed.greeting(alpha).equals(Observed.HELLO_WORLD), "Alpha not rewritten");
            check(Quorvane.retransform(alpha) == 1, "Alpha not retransformed");
            List<RecordedEvent> events = Recordings.stop(recording, "record.jfr");

            int a0 = Observed.classFile(ALPHA).length;
            int a1 = a0 + Observed.HELLO_WORLD.length() - Observed.HELLO.length();
            int b0 = Observed.classFile(BETA).length;
            int g0 = Observed.classFile(GAMMA).length;
            String refused = "java.lang.IllegalStateException";
            // The JVM runs the transformers without retransformation first, then the
            // retransformable ones, Remap's environment (made first) before the
            // Instrumentation's; a retransformation runs the latter only.
            List<String> expected = List.of(
                    "instrumentation RecordCase$Throwing load failed " + ALPHA + " " + a0 + "->" + a0 + " " + refused,
                    "remap Observed$Greeting load changed " + ALPHA + " " + a0 + "->" + a1 + " null",
                    "instrumentation RecordCase$Changing load changed " + ALPHA + " " + a1 + "->" + a1 + " null",
                    "instrumentation RecordCase$Throwing load failed " + BETA + " " + b0 + "->" + b0 + " " + refused,
                    "remap Observed$Greeting load unchanged " + BETA + " " + b0 + "->" + b0 + " null",
                    "instrumentation RecordCase$Changing load changed " + BETA + " " + b0 + "->" + b0 + " null",
                    "instrumentation RecordCase$Throwing load failed " + GAMMA + " " + g0 + "->" + g0 + " " + refused,
                    "instrumentation RecordCase$Changing load changed " + GAMMA + " " + g0 + "->" + g0 + " null",
                    "remap Observed$Greeting retransform changed " + ALPHA + " " + a0 + "->" + a1 + " null",
                    "instrumentation RecordCase$Changing retransform changed " + ALPHA + " " + a1 + "->" + a1 + " null");
            List<String> calls = Recordings.fixtureCalls(events);
            check(calls.equals(expected), "the calls recorded:%n  %s%nexpected:%n  %s", String.join("\n  ", calls),
                    String.join("\n  ", expected));

            // The statistics at the recording's end, and the MXBean since: the counts
            // of changes and failures are exact (only fixtures change or fail); every
            // class loaded meanwhile adds to what the Instrumentation's transformers saw.
            Map<String, long[]> statistics = Recordings.statistics(events);
            // Nothing here has made the platform MBean server, and neither has Quorvane: its
            // MXBean comes once the server is made (here, by the first look for it).
            check(javax.management.MBeanServerFactory.findMBeanServer(null).isEmpty(),
                    "the platform MBean server was made before anything here asked for it");
            Map<String, long[]> mxbean = Recordings.awaitMxbean(Recordings.MXBEAN);
            String remap = "remap Observed$Greeting";
            String throwing = "instrumentation RecordCase$Throwing";
            String changing = "instrumentation RecordCase$Changing";
            check(statistics.keySet().equals(java.util.Set.of(remap, throwing, changing)), "statistics of %s",
                    statistics.keySet());
            check(mxbean != null && List.copyOf(mxbean.keySet()).equals(List.of(remap, throwing, changing)),
                    "MXBean entries %s", mxbean == null ? "none" : mxbean.keySet());
            expect(statistics.get(remap), 3, true, 2, 0, "statistics of Remap's transformer");
            expect(statistics.get(throwing), 3, false, 0, 3, "statistics of the throwing transformer");
            expect(statistics.get(changing), 4, false, 4, 0, "statistics of the changing transformer");
            for (String transformer : statistics.keySet()) {
                long[] atEnd = statistics.get(transformer);
                long[] now = mxbean.get(transformer);
                check(now[0] >= atEnd[0] && now[1] == atEnd[1] && now[2] == atEnd[2] && now[3] >= atEnd[3],
                        "MXBean %s: %s, statistics at the end: %s", transformer, java.util.Arrays.toString(now),
                        java.util.Arrays.toString(atEnd));
            }
            check(mxbean.get(remap)[0] == 3, "the MXBean counts Remap's calls: %d", mxbean.get(remap)[0]);
            // The same through the public interface, as a JMX client in the JVM reads it.
            TransformersMXBean proxy = JMX.newMXBeanProxy(ManagementFactory.getPlatformMBeanServer(),
                    new ObjectName(TransformersMXBean.OBJECT_NAME), TransformersMXBean.class);
            List<String> read = new java.util.ArrayList<>();
            for (TransformerInfo info : proxy.getTransformers()) {
                System.out.println("MXBean: " + info);
                read.add(info.getRoute() + " " + Recordings.simpleName(info.getTransformer()) + " "
                        + info.getClassesChanged() + " " + info.getFailures());
            }
            check(read.equals(List.of(remap + " 2 0", throwing + " 0 3", changing + " 4 0")), "through the proxy: %s",
                    read);

            // A recording with the JDK's settings: the statistics, no ClassTransform. (Only
            // counted: on JDK 17 a later recording in the same JVM may read a name as null,
            // JFR's string cache outliving the first recording; see the README.)
            Recording plain = Recordings.start(false);
            Observed.fixtures().loadClass("qvobserve.fix.Alpha");
            List<RecordedEvent> quiet = Recordings.stop(plain, "plain.jfr");
            check(quiet.stream().noneMatch(e -> e.getEventType().getName().equals(Recordings.CLASS_TRANSFORM)),
                    "ClassTransform events without the event enabled");
            long statisticsEvents =
                    quiet.stream().filter(e -> e.getEventType().getName().equals(Recordings.STATISTICS)).count();
            check(statisticsEvents == 3, "%d statistics events, not one per transformer", statisticsEvents);

            // Remap's path allocates nothing unless a recording enables the event (Beta:
            // its transformer returns null); the same calls for Alpha, whose transformer
            // returns a new class file each time, show that the measure sees allocations.
            long notRecorded = allocatedBy(BETA);
            long rewriting = allocatedBy(ALPHA);
            System.out.printf("allocated by %d calls of Remap.remap, nothing recording: %d bytes (Beta), %d (Alpha)%n",
                    CALLS, notRecorded, rewriting);
            check(notRecorded < 1024, "%d bytes allocated for %d calls while nothing records", notRecorded, CALLS);
            check(rewriting > (long) a1 * CALLS, "only %d bytes for %d new class files: the measure sees nothing",
                    rewriting, CALLS);

            Quorvane.detach();
            check(Recordings.mxbean(Recordings.MXBEAN) == null, "the MXBean is still registered after detach()");
            Recording after = Recordings.start(true);
            Observed.fixtures().loadClass("qvobserve.fix.Alpha");
            List<RecordedEvent> detached = Recordings.stop(after, "detached.jfr");
            check(detached.isEmpty(), "events after detach(): %s", detached);
        });
    }

    private static void expect(long[] counts, long seen, boolean exactSeen, long changed, long failures, String what) {
        check(counts != null, "no %s", what);
        check((exactSeen ? counts[0] == seen : counts[0] >= seen) && counts[1] == changed && counts[2] == failures
                && counts[3] > 0, "%s: seen %d, changed %d, failures %d, %d ns; expected %s%d, %d, %d", what,
                counts[0], counts[1], counts[2], counts[3], exactSeen ? "" : "at least ", seen, changed, failures);
    }

    // What this thread allocates for calls of Remap's path with a fixture's class file.
    private static long allocatedBy(String fixture) throws java.io.IOException {
        byte[] classFile = Observed.classFile(fixture);
        com.sun.management.ThreadMXBean threads = (com.sun.management.ThreadMXBean) ManagementFactory.getThreadMXBean();
        long id = Thread.currentThread().getId();
        long before = threads.getThreadAllocatedBytes(id);
        for (int i = 0; i < CALLS; i++) {
            Remap.remap(fixture, classFile);
        }
        return threads.getThreadAllocatedBytes(id) - before;
    }
}
