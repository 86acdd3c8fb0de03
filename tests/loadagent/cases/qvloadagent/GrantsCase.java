package qvloadagent;

import java.lang.instrument.ClassDefinition;
import java.lang.instrument.ClassFileTransformer;
import java.lang.instrument.Instrumentation;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.ProtectionDomain;
import java.util.ArrayList;
import java.util.List;
import qv.vantrel.quorvane.Quorvane;

/**
 * Two agent jars, one granting everything and one nothing, started by the JDK
 * ({@code -javaagent:all.jar=all -javaagent:none.jar=none}) or by Quorvane.loadAgent as the
 * first statements of main; the transcript of what each agent's Instrumentation answers,
 * refuses, and in which order their transformers run, must be the same both ways. A third,
 * whose manifest starts with a byte-order mark, must start and get the same grants both ways.
 *
 * <p>Usage: {@code GrantsCase agent|quorvane <transcript> <all.jar> <none.jar> <bom.jar>}
 */
public final class GrantsCase {
    private GrantsCase() {
    }

    /** Notes each class of qvloadagent/fix/ it sees under its name. */
    private static final class Recorder implements ClassFileTransformer {
        private final String label;

        Recorder(String label) {
            this.label = label;
        }

        @Override
        public byte[] transform(Module module, ClassLoader loader, String name, Class<?> redefined,
                ProtectionDomain domain, byte[] classFile) {
            if (name != null && name.startsWith("qvloadagent/fix/")) {
                Started.SEEN.add(label + " " + name.substring(name.lastIndexOf('/') + 1));
            }
            return null;
        }
    }

    private interface Call {
        void run() throws Exception;
    }

    public static void main(String[] args) throws Exception {
        if (args[0].equals("quorvane")) {
            Quorvane.loadAgent(args[2], "all");
            Quorvane.loadAgent(args[3], "none");
            Quorvane.loadAgent(args[4], "bom");
        } else if (!args[0].equals("agent")) {
            throw new IllegalArgumentException(args[0]);
        }
        List<String> out = new ArrayList<>();
        List<String> labels = new ArrayList<>();
        for (Started started : Started.STARTS) {
            labels.add(started.options);
        }
        out.add("agents started: " + labels);
        Instrumentation all = Started.STARTS.get(0).inst;
        Instrumentation none = Started.STARTS.get(1).inst;
        Instrumentation bom = Started.STARTS.get(2).inst;
        for (Instrumentation inst : List.of(all, none, bom)) {
            out.add((inst == all ? "all" : inst == none ? "none" : "bom") + ": redefine " + inst.isRedefineClassesSupported()
                    + ", retransform " + inst.isRetransformClassesSupported() + ", native method prefix "
                    + inst.isNativeMethodPrefixSupported());
        }

        Recorder allPlain = new Recorder("all-1");
        Recorder allRetransformable = new Recorder("all-retransformable");
        Recorder nonePlain = new Recorder("none-1");
        Recorder allLater = new Recorder("all-2");
        all.addTransformer(allPlain);
        all.addTransformer(allRetransformable, true);
        none.addTransformer(nonePlain);
        all.addTransformer(allLater);
        out.add("none.addTransformer(t, true): " + attempt(() -> none.addTransformer(new Recorder("none-r"), true)));
        out.add("none.retransformClasses: " + attempt(() -> none.retransformClasses(Check.class)));
        out.add("none.redefineClasses: " + attempt(() -> none.redefineClasses(new ClassDefinition(Check.class, new byte[0]))));
        out.add("none.setNativeMethodPrefix: " + attempt(() -> none.setNativeMethodPrefix(nonePlain, "qvprefix_")));
        out.add("all.setNativeMethodPrefix(its own): " + attempt(() -> all.setNativeMethodPrefix(allPlain, "qvprefix_")));
        out.add("all.setNativeMethodPrefix(none's): " + attempt(() -> all.setNativeMethodPrefix(nonePlain, "qvprefix_")));
        out.add("all.removeTransformer(none's): " + all.removeTransformer(nonePlain));
        out.add("none.removeTransformer(all's): " + none.removeTransformer(allPlain));

        Class.forName("qvloadagent.fix.Loaded");
        out.add("loading: " + drain());
        all.retransformClasses(Class.forName("qvloadagent.fix.Loaded"));
        out.add("retransforming: " + drain());
        out.add("all.removeTransformer(its own): " + all.removeTransformer(allPlain));
        Class.forName("qvloadagent.fix.LoadedToo");
        out.add("loading after: " + drain());

        Files.write(Path.of(args[1]), out, StandardCharsets.UTF_8);
        System.out.println("grants case on " + args[0] + ": " + out.size() + " lines");
    }

    private static List<String> drain() {
        synchronized (Started.SEEN) {
            List<String> seen = new ArrayList<>(Started.SEEN);
            Started.SEEN.clear();
            return seen;
        }
    }

    private static String attempt(Call call) {
        try {
            call.run();
            return "done";
        } catch (Exception e) {
            return e.getClass().getName() + ": " + e.getMessage();
        }
    }
}
